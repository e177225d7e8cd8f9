// The headless command: its command line, the files it takes and where they go, the codec
// list and whole batches on worker threads in process; then the program as scripts run it,
// with Ctrl-C in the middle of a batch and a file larger than the memory it may hold.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

#include "app/BatchCommand.h"
#include "app/CompressionJob.h"
#include "tests/support/FakeCodec.h"
#include "tests/support/Peers.h"
#include "tests/support/Raises.h"
#include "tests/support/WaveFiles.h"

namespace {

const std::string Program = CORVANE_BATCH_PROGRAM;
namespace fs = std::filesystem;
using ::testing::HasSubstr;
using Args = std::vector<std::string>;

void WritePcm(const fs::path& AFile, uint16_t AChannels, uint32_t AFrames, uint32_t ASeed,
              uint32_t ARate = 22050, uint16_t ABits = 16) {
  fs::create_directories(AFile.parent_path());
  WriteWaveFile(AFile, *MakeLinear(WAVE_FORMAT_PCM, AChannels, ARate, ABits),
                PseudoRandomBytes(AFrames * AChannels * ABits / 8, ASeed));
}

// The tag, rate and channel count of a wave file; zeros when it cannot be read.
using TShape = std::array<uint32_t, 3>;
TShape Shape(const fs::path& AFile) {
  auto wave = TKZMMIOWaveStream::OpenReadFile(AFile);
  if (!wave) return {};
  const TKZWaveFormat& format = WaveOf(*wave);
  return {format.GetFormatTag(), format.GetSamplesPerSec(), format.GetChannels()};
}

// Every file below a folder, relative to it, sorted.
std::vector<std::string> Tree(const fs::path& AFolder) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(AFolder))
    if (entry.is_regular_file()) files.push_back(entry.path().lexically_relative(AFolder));
  std::sort(files.begin(), files.end());
  return files;
}

struct TRun {
  int Code;
  std::string Out, Err;
};

TRun RunCommandLine(const Args& AArguments, bool ATerminal = false) {
  std::ostringstream out, err;
  const std::atomic<bool> stop{false};
  const int code = RunBatchCommand(AArguments, {out, err, ATerminal, false}, stop);
  return {code, out.str(), err.str()};
}

class Batch : public ::testing::Test {
 protected:
  TTempDir Dir;
  const fs::path In = Dir.Path() / "in", Out = Dir.Path() / "out";
  void SetUp() override { fs::create_directories(Out); }
};

TEST(BatchArguments, ReadsOptionsAndRefusesWhatItCannotFollow) {
  const TBatchSettings s =
      ParseBatchArguments({"-rnq", "-oOUT", "--codec=MULAW", "--rate", "8000", "--channels=1",
                           "-j3", "--threaded", "a.wav", "--", "-b.wav"});
  EXPECT_TRUE(s.Recursive && s.SkipExisting && s.Quiet && s.Threaded);
  EXPECT_EQ(s.Output, "OUT");
  EXPECT_EQ(s.Codec, WAVE_FORMAT_MULAW);
  EXPECT_EQ(s.SampleRate, 8000u);
  EXPECT_EQ(s.Channels, 1);
  EXPECT_EQ(s.Jobs, 3);
  EXPECT_EQ(s.Inputs, (Args{"a.wav", "-b.wav"}));
  EXPECT_EQ(ParseBatchArguments({"-o", "o", "-c", "0x11", "x"}).Codec, WAVE_FORMAT_IMA_ADPCM);
  EXPECT_EQ(ParseBatchArguments({"-c", "nothing", "--help"}).Action, TBatchAction::Help);

  const std::pair<Args, std::string> wrong[] = {
      {{"-c", "pcm", "x"}, "No output folder: give one with -o DIR."},
      {{"-o", "o", "-c", "flac", "x"}, "Unknown codec \"flac\""},
      {{"-o", "o", "-c", "pcm", "-x", "x"}, "Unknown option -x."},
      {{"-o", "o", "-c", "pcm", "--quiet=yes", "x"}, "The option --quiet takes no value."},
      {{"x", "-o"}, "The option -o needs a value."},
      {{"-o", "o", "-c", "pcm", "-j", "0", "x"}, "--jobs takes a number from 1 to 1,024"},
      {{"-o", "o", "-c", "gsm610", "--rate", "16000", "x"},
       "gsm610 does not carry 16,000 Hz; it carries 8,000, 11,025, 22,050, 44,100 Hz; mono."},
      {{"-o", "o", "-c", "pcm", "--bits", "20", "x"},
       "pcm does not carry 20 bits; it carries 8, 16, 24 or 32 bits."},
      {{"-o", "o", "-c", "float", "--bits", "16", "x"},
       "float does not carry 16 bits; it carries 32 or 64 bits."},
      {{"-o", "o", "-c", "alaw", "--bits", "8", "x"}, "--bits applies to pcm and float only"},
  };
  for (const auto& [arguments, message] : wrong) {
    const std::string raised = RaisedMessage([&given = arguments] { ParseBatchArguments(given); });
    EXPECT_EQ(raised.rfind(message, 0), 0u) << raised;
  }
}

TEST_F(Batch, FindsFilesMirrorsFoldersAndRefusesSharedDestinations) {
  for (const char* name : {"a.wav", "B.WAV", "notes.txt", "deep/er/c.Wav", "deep/d.wav"}) {
    fs::create_directories((In / name).parent_path());
    std::ofstream(In / name) << "x";
  }
  fs::create_directories(In / "out");
  std::ofstream(In / "out" / "old.wav") << "x";  // an output folder inside the input is skipped
  std::ofstream(Dir.Path() / "a.wav") << "x";
  TBatchSettings settings =
      ParseBatchArguments({"-r", "-o", (In / "out").string(), "-c", "pcm", In.string(),
                           (Dir.Path() / "a.wav").string(), (Dir.Path() / "missing.wav").string()});
  const std::vector<TBatchItem> items = PlanBatch(settings);
  std::vector<std::string> plan;
  for (const TBatchItem& item : items)
    plan.push_back(fs::path(item.Source).lexically_relative(Dir.Path()).string() + " > " +
                   fs::path(item.Destination).lexically_relative(In / "out").string() +
                   (item.Refusal.empty() ? "" : " refused"));
  EXPECT_EQ(plan, (std::vector<std::string>{
                      "in/B.WAV > B.WAV", "in/a.wav > a.wav", "in/deep/d.wav > deep/d.wav",
                      "in/deep/er/c.Wav > deep/er/c.Wav", "a.wav > a.wav refused",
                      "missing.wav > missing.wav refused"}));
  EXPECT_EQ(items[4].Refusal, "Not compressing " + items[4].Source + " into " +
                                  items[4].Destination + ": it is the destination of " +
                                  items[1].Source + " in this batch already.");

  settings.Recursive = false;
  EXPECT_THROW(PlanBatch(settings), EUsage);
  settings.Output = (Dir.Path() / "none").string();
  EXPECT_THROW(PlanBatch(settings), EUsage);
}

TEST(BatchCodecs, ListsTheManagersTableWithNamesAndFormats) {
  const TRun listed = RunCommandLine({"--list-codecs"});
  EXPECT_EQ(listed.Code, ExitSuccess);
  std::vector<std::string> names;
  for (const TBatchCodec& codec : BatchCodecs()) {
    names.push_back(codec.Name);
    char head[32];
    std::snprintf(head, sizeof head, "\n0x%04X  %s ", codec.Caps.tag, codec.Name.c_str());
    EXPECT_THAT(listed.Out, HasSubstr(head));
    EXPECT_THAT(listed.Out, HasSubstr(DescribeFormats(codec.Caps)));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"pcm", "float", "ima-adpcm", "ms-adpcm", "alaw",
                                             "mulaw", "gsm610", "mp3"}));

  // A driver added to the table is listed and taken by its name.
  TFakeCodecScope added;
  EXPECT_THAT(RunCommandLine({"--list-codecs"}).Out,
              HasSubstr("\n0x7F01  fake       Fake           1 to 192,000 Hz; 1 to 2 channels"));
  EXPECT_EQ(ParseBatchArguments({"-o", "o", "-c", "fake", "x"}).Codec, kFakeTag);
}

TEST_F(Batch, CompressesEveryGoodFileAndReportsTheBadOnes) {
  for (int i = 0; i < 6; ++i)
    WritePcm(In / ("sub" + std::to_string(i % 2)) / ("f" + std::to_string(i) + ".wav"), 2, 9000, i);
  std::ofstream(In / "sub1" / "bad.wav") << "not a wave file";
  const Args args = {"-r",     "-o",    Out.string(), "-c", "mp3",
                     "--rate", "16000", "--channels", "1",  In.string()};
  Args serial = args;
  serial.insert(serial.begin(), {"-j", "1"});
  const TRun first = RunCommandLine(serial);
  EXPECT_EQ(first.Code, ExitFailed);
  EXPECT_THAT(first.Err, HasSubstr("error: " + (In / "sub1" / "bad.wav").string() +
                                   " is not a wave file (no RIFF header)."));
  EXPECT_THAT(first.Err, HasSubstr("\n6 done, 0 skipped, 1 failed; "));
  EXPECT_EQ(Tree(Out), (std::vector<std::string>{"sub0/f0.wav", "sub0/f2.wav", "sub0/f4.wav",
                                                 "sub1/f1.wav", "sub1/f3.wav", "sub1/f5.wav"}));
  EXPECT_EQ(Shape(Out / "sub0" / "f0.wav"), (TShape{WAVE_FORMAT_MPEGLAYER3, 16000, 1}));

  // Files at once, and threaded chains, write the same bytes.
  std::map<std::string, Bytes> before;
  for (const std::string& file : Tree(Out))
    before[file] = ReadFileBytes(Out / file);
  fs::remove_all(Out / "sub0");
  Args parallel = args;
  parallel.insert(parallel.begin(), {"-j", "3", "--threaded", "-q"});
  const TRun second = RunCommandLine(parallel);
  EXPECT_EQ(second.Code, ExitFailed);
  EXPECT_EQ(second.Err.find("done"), std::string::npos);  // quiet: errors only
  for (const std::string& file : Tree(Out))
    EXPECT_EQ(ReadFileBytes(Out / file), before[file]) << file;

  // Existing destinations are left alone when asked.
  std::ofstream(Out / "sub0" / "f0.wav") << "keep me";
  parallel.insert(parallel.begin(), "-n");
  parallel.erase(std::find(parallel.begin(), parallel.end(), "-q"));
  const TRun third = RunCommandLine(parallel);
  EXPECT_THAT(third.Err, HasSubstr("\n0 done, 6 skipped, 1 failed; "));
  EXPECT_EQ(ReadFileBytes(Out / "sub0" / "f0.wav"), (Bytes{'k', 'e', 'e', 'p', ' ', 'm', 'e'}));

  // The phone case from studio files: a resampler's bursts outgrow its destination at times.
  for (uint16_t bits : {16, 24, 32}) {
    WritePcm(Dir.Path() / "studio.wav", 2, 96000, bits, 48000, bits);
    EXPECT_EQ(RunCommandLine({"-o", Out, "-c", "mulaw", "--rate", "8000", "--channels", "1",
                              Dir.Path() / "studio.wav"})
                  .Code,
              ExitSuccess);
    EXPECT_EQ(Shape(Out / "studio.wav"), (TShape{WAVE_FORMAT_MULAW, 8000, 1}));
    EXPECT_EQ(fs::file_size(Out / "studio.wav"), 58u + 16000u);
  }
}

TEST_F(Batch, TheProgramAnswersOnTheRightStreamWithHonestExitCodes) {
  WritePcm(In / "a.wav", 1, 4000, 1);
  const std::string a = (In / "a.wav").string();
  // Standard output alone: usage, version and codec list go there, and nothing else does.
  auto out = [&](const std::string& AArguments) {
    return RunCommand("{ " + ShellQuote(Program) + " " + AArguments + " 2>/dev/null; }");
  };
  EXPECT_EQ(out("--help").Output.rfind("Usage: corvane-batch -o DIR -c CODEC", 0), 0u);
  EXPECT_EQ(out("--version").Output.rfind("corvane-batch ", 0), 0u);
  const std::string args = " -o " + ShellQuote(Out) + " " + ShellQuote(a);
  const TCommandResult done = out("-c alaw" + args);
  EXPECT_EQ(done.ExitCode, 0);
  EXPECT_EQ(done.Output, "");
  EXPECT_EQ(out("-c alaw" + args + " " + ShellQuote(In / "b.wav")).ExitCode, 1);
  const TCommandResult usage = RunCommand(ShellQuote(Program) + " -c nothing" + args);
  EXPECT_EQ(usage.ExitCode, 2);
  EXPECT_THAT(usage.Output, HasSubstr("corvane-batch: Unknown codec \"nothing\""));

  // On a terminal progress is one line redrawn, in colour only when allowed.
  const TRun plain = RunCommandLine({"-o", Out, "-c", "alaw", a}, true);
  EXPECT_EQ(plain.Code, ExitSuccess);
  EXPECT_THAT(plain.Err, HasSubstr("\r[########################] 1 of 1 files"));
  EXPECT_EQ(plain.Err.find('\033'), std::string::npos);
}

TEST_F(Batch, CtrlCLeavesNoPartialOrTemporaryFile) {
  for (uint32_t i = 0; i < 5; ++i)
    WritePcm(In / ("f" + std::to_string(i) + ".wav"), 2, 441000, i);
  // Once the first file is done, the second is on its way.
  const std::string text = RunAndSignal(ShellQuote(Program) + " -j 1 -c mp3 -o " + ShellQuote(Out) +
                                            " " + ShellQuote(In) + "/*.wav",
                                        "compressed ", SIGINT)
                               .Output;
  EXPECT_THAT(text, HasSubstr("\ninterrupted: "));
  EXPECT_THAT(text, HasSubstr("\nexit 130\n"));
  // What is there is whole, the same bytes as the job writes alone; nothing else is there.
  const std::vector<std::string> left = Tree(Out);
  EXPECT_TRUE(!left.empty() && left.size() < 5) << text;
  for (const std::string& file : left) {
    CompressFile(In / file, Dir.Path() / "whole.wav", WAVE_FORMAT_MPEGLAYER3);
    EXPECT_EQ(ReadFileBytes(Out / file), ReadFileBytes(Dir.Path() / "whole.wav")) << file;
  }
}

TEST_F(Batch, TheProgramStaysUnderTenMegabytesWhateverTheFileSize) {
#ifdef CORVANE_SANITIZED
  GTEST_SKIP() << "sanitizers keep memory of their own";
#endif
  // GNU time measures the program alone: a child's peak counts what its parent held when it
  // was spawned, and this test holds the whole file once.
  REQUIRE_PEER("/usr/bin/time");
  WritePcm(In / "big.wav", 2, 10'000'000, 3, 44100);  // 40 MB
  // The ADPCM searches' memory grows with the block, not the file.
  WritePcm(In / "blocks.wav", 2, 100'000, 3, 44100);
  for (const auto& [codec, file] : {std::pair{"ms-adpcm", "big.wav"},
                                    {"mp3", "big.wav"},
                                    {"ima-adpcm --quality high --block-size 32768", "blocks.wav"},
                                    {"ms-adpcm --quality high --block-size 32768", "blocks.wav"}}) {
    const TCommandResult run =
        RunCommand("/usr/bin/time -f 'peak %M KiB' " + ShellQuote(Program) + " -j 1 -q -c " +
                   codec + " -o " + ShellQuote(Out) + " " + ShellQuote(In / file));
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    const size_t peak = run.Output.rfind("peak ");
    ASSERT_NE(peak, std::string::npos) << run.Output;
    EXPECT_LE(std::stol(run.Output.substr(peak + 5)), 10 * 1024) << codec << ": " << run.Output;
  }
}

}  // namespace

// --quality and --block-size reach the ADPCM encoders through the job; sizes a codec's blocks
// cannot take are refused with the range they can.
TEST_F(Batch, QualityAndBlockSizeReachTheEncoders) {
  const std::pair<Args, std::string> wrong[] = {
      {{"-o", "o", "-c", "ima-adpcm", "--quality", "best", "x"},
       "--quality takes fast or high, not \"best\"."},
      {{"-o", "o", "-c", "ima-adpcm", "--block-size", "100", "x"},
       "ima-adpcm blocks take 16 to 32,768 bytes in steps of 8, not \"100\"."},
      {{"-o", "o", "-c", "ms-adpcm", "--block-size=40000", "x"},
       "ms-adpcm blocks take 16 to 32,768 bytes, not \"40000\"."},
      {{"-o", "o", "-c", "alaw", "--block-size", "256", "x"}, "alaw has no block size to choose."},
  };
  for (const auto& [arguments, message] : wrong)
    EXPECT_EQ(RaisedMessage([&given = arguments] { ParseBatchArguments(given); }), message);
  EXPECT_THAT(RunCommandLine({"--list-codecs"}).Out,
              HasSubstr("blocks of 256 bytes a channel up to 11,025 Hz, 512 up to 22,050 Hz, "
                        "1,024 above (--block-size 16 to 32,768)"));

  WritePcm(In / "a.wav", 2, 30000, 1, 44100);
  for (const auto& [codec, size, quality] : {std::tuple{"ms-adpcm", "512", "high"},
                                             {"ima-adpcm", "256", "high"},
                                             {"ima-adpcm", "", "fast"}}) {
    SCOPED_TRACE(std::string(codec) + " " + size + " " + quality);
    Args args = {"-q", "-o", Out.string(), "-c", codec, "--quality", quality};
    if (*size) args.insert(args.end(), {"--block-size", size});
    args.push_back((In / "a.wav").string());
    ASSERT_EQ(RunCommandLine(args).Code, ExitSuccess);
    auto wave = TKZMMIOWaveStream::OpenReadFile(Out / "a.wav");
    ASSERT_TRUE(wave);
    EXPECT_EQ(WaveOf(*wave).GetBlockAlign(), *size ? std::stoi(size) : 2048);
    EXPECT_EQ(StreamFormatOf(*wave).Fact().GetSampleCount(), 30000);
  }
}
