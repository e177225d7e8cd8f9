// The headless command: its command line, the files it takes and where they go, the codec
// list and whole batches on worker threads in process; then the program as scripts run it: each
// stop signal in the middle of a file, standard output and error closed or full, folders it
// cannot read or that vanish, names that are not what they seem, and a file larger than the
// memory it may hold.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

#include "app/BatchCommand.h"
#include "app/CompressionJob.h"
#include "tests/support/FakeCodec.h"
#include "tests/support/Nobody.h"
#include "tests/support/Peers.h"
#include "tests/support/Raises.h"
#include "tests/support/WaveFiles.h"

namespace {

const std::string Program = CORVANE_BATCH_PROGRAM;
namespace fs = std::filesystem;
using ::testing::HasSubstr;
using Args = std::vector<std::string>;
using Names = std::vector<std::string>;

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

// Every name below a folder, folders and hidden ones too, relative to it and sorted.
Names Tree(const fs::path& AFolder) {
  Names names;
  for (const auto& entry : fs::recursive_directory_iterator(AFolder))
    names.push_back(entry.path().lexically_relative(AFolder));
  std::sort(names.begin(), names.end());
  return names;
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

// The program's exit code, run with its standard output and error on AOutput.
int RunTo(const Args& AArguments, int AOutput) {
  std::vector<char*> argv{const_cast<char*>(Program.c_str())};
  for (const std::string& argument : AArguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, AOutput, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, AOutput, STDERR_FILENO);
  pid_t child = -1;
  EXPECT_EQ(posix_spawn(&child, Program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Batch : public ::testing::Test {
 protected:
  TTempDir Dir;
  const fs::path In = Dir.Path() / "in", Out = Dir.Path() / "out";
  void SetUp() override { fs::create_directories(Out); }
};

// The spellings scripts use: a value apart, glued or empty, letters together, the last of a
// repeated option, names that begin with '-' after "--"; option names whole, never shortened;
// and values a codec cannot take, refused with what it can.
TEST(BatchArguments, TakesTheUsualSpellingsAndRefusesWhatItCannotFollow) {
  const TBatchSettings s = ParseBatchArguments(
      {"-nq", "-oOUT", "--codec=MULAW", "--rate", "8000", "--channels=1", "--threaded", "a"});
  EXPECT_TRUE(s.SkipExisting && s.Quiet && s.Threaded);
  EXPECT_EQ(s.Codec, WAVE_FORMAT_MULAW);
  EXPECT_EQ(s.SampleRate, 8000u);
  EXPECT_EQ(s.Channels, 1);
  EXPECT_EQ(ParseBatchArguments({"-o", "o", "-c", "0x11", "x"}).Codec, WAVE_FORMAT_IMA_ADPCM);
  EXPECT_EQ(ParseBatchArguments({"-c", "nothing", "--help"}).Action, TBatchAction::Help);

  // What was read (output, jobs, -r, inputs), or the start of the refusal.
  const std::pair<Args, std::string> lines[] = {
      {{"-o", "-x", "a"}, "-x j0 [a]"},
      {{"-o", "a", "-o", "b", "c"}, "b j0 [c]"},
      {{"-rj2", "-o", "o", "c"}, "o j2 r [c]"},
      {{"-o", "o", "-", "--", "--rate", "-r"}, "o j0 [-,--rate,-r]"},
      {{"--output=", "a"}, "No output folder: give one with -o DIR."},
      {{"-o", "o", "a", "--rate"}, "The option --rate needs a value."},
      {{"a", "-o"}, "The option -o needs a value."},
      {{"-o", "o", "--quiet=yes", "a"}, "The option --quiet takes no value."},
      {{"--out", "o", "a"}, "Unknown option --out."},
      {{"--sh=1/2", "-o", "o", "a"}, "Unknown option --sh=1/2."},
      {{"-qz", "-o", "o", "a"}, "Unknown option -z."},
      {{"-o", "o", "-c", "flac", "a"}, "Unknown codec \"flac\""},
      {{"-o", "o", "-j", "0", "a"}, "--jobs takes a number from 1 to 1,024"},
      {{"-o", "o", "-c", "gsm610", "--rate", "16000", "a"},
       "gsm610 does not carry 16,000 Hz; it carries 8,000, 11,025, 22,050, 44,100 Hz; mono."},
      {{"-o", "o", "--bits", "20", "a"},
       "pcm does not carry 20 bits; it carries 8, 16, 24 or 32 bits."},
      {{"-o", "o", "-c", "alaw", "--bits", "8", "a"}, "--bits applies to pcm and float only"},
      {{"-o", "o", "-c", "ima-adpcm", "--quality", "best", "a"},
       "--quality takes fast or high, not \"best\"."},
      {{"-o", "o", "-c", "ima-adpcm", "--block-size", "100", "a"},
       "ima-adpcm blocks take 16 to 32,768 bytes in steps of 8, not \"100\"."},
      {{"-o", "o", "-c", "ms-adpcm", "--block-size=40000", "a"},
       "ms-adpcm blocks take 16 to 32,768 bytes, not \"40000\"."},
      {{"-o", "o", "-c", "alaw", "--block-size", "256", "a"}, "alaw has no block size to choose."},
  };
  for (const auto& [arguments, parsed] : lines) {
    Args given = {"-c", "pcm"};
    given.insert(given.end(), arguments.begin(), arguments.end());
    std::string text;
    try {
      const TBatchSettings read = ParseBatchArguments(given);
      text = read.Output + " j" + std::to_string(read.Jobs) + (read.Recursive ? " r [" : " [");
      for (const std::string& input : read.Inputs)
        text += (&input == &read.Inputs.front() ? "" : ",") + input;
      text += "]";
    } catch (const EUsage& e) {
      text = e.Message();
    }
    EXPECT_EQ(text.rfind(parsed, 0), 0u) << text;
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
  std::vector<std::string> plan;
  for (const TBatchItem& item : PlanBatch(settings))
    plan.push_back(fs::path(item.Source).lexically_relative(Dir.Path()).string() + " > " +
                   fs::path(item.Destination).lexically_relative(In / "out").string() +
                   (item.Refusal.empty() ? "" : " refused"));
  EXPECT_EQ(plan, (std::vector<std::string>{
                      "in/B.WAV > B.WAV", "in/a.wav > a.wav", "in/deep/d.wav > deep/d.wav",
                      "in/deep/er/c.Wav > deep/er/c.Wav", "a.wav > a.wav refused",
                      "missing.wav > missing.wav refused"}));

  settings.Recursive = false;
  EXPECT_THROW(PlanBatch(settings), EUsage);
  settings.Output = (Dir.Path() / "none").string();
  EXPECT_THROW(PlanBatch(settings), EUsage);
}

TEST(BatchCodecs, ListsTheManagersTableWithNamesAndFormats) {
  std::vector<std::string> names;
  for (const TBatchCodec& codec : BatchCodecs())
    names.push_back(codec.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"pcm", "float", "ima-adpcm", "ms-adpcm", "alaw",
                                             "mulaw", "gsm610", "mp3"}));

  // A driver added to the table is listed and taken by its name.
  TFakeCodecScope added;
  const TRun listed = RunCommandLine({"--list-codecs"});
  EXPECT_EQ(listed.Code, ExitSuccess);
  EXPECT_THAT(listed.Out,
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
  EXPECT_EQ(Tree(Out), (Names{"sub0", "sub0/f0.wav", "sub0/f2.wav", "sub0/f4.wav", "sub1",
                              "sub1/f1.wav", "sub1/f3.wav", "sub1/f5.wav"}));

  // Files at once, and threaded chains, write the same bytes.
  std::map<std::string, Bytes> before;
  for (const std::string& file : Tree(Out))
    if (fs::is_regular_file(Out / file)) before[file] = ReadFileBytes(Out / file);
  fs::remove_all(Out / "sub0");
  Args parallel = args;
  parallel.insert(parallel.begin(), {"-j", "3", "--threaded", "-q"});
  const TRun second = RunCommandLine(parallel);
  EXPECT_EQ(second.Code, ExitFailed);
  EXPECT_EQ(second.Err.find("done"), std::string::npos);  // quiet: errors only
  for (const auto& [file, bytes] : before)
    EXPECT_EQ(ReadFileBytes(Out / file), bytes) << file;

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

// --quality and --block-size reach the ADPCM encoders through the job.
TEST_F(Batch, QualityAndBlockSizeReachTheEncoders) {
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
  const TCommandResult usage = RunCommand(ShellQuote(Program) + " -c nothing" + args);
  EXPECT_EQ(usage.ExitCode, 2);
  EXPECT_THAT(usage.Output, HasSubstr("corvane-batch: Unknown codec \"nothing\""));

  // On a terminal progress is one line redrawn, in colour only when allowed.
  const TRun plain = RunCommandLine({"-o", Out, "-c", "alaw", a}, true);
  EXPECT_EQ(plain.Code, ExitSuccess);
  EXPECT_THAT(plain.Err, HasSubstr("\r[########################] 1 of 1 files"));
  EXPECT_EQ(plain.Err.find('\033'), std::string::npos);
}

TEST_F(Batch, EveryStopSignalMidFileKeepsTheOldDestinationAndLeavesNothingElse) {
  WritePcm(In / "a.wav", 1, 4000, 1, 44100);
  WritePcm(In / "b.wav", 2, 2'000'000, 2, 44100);  // long enough to be under way at the signal
  CompressFile(In / "a.wav", Dir.Path() / "whole.wav", WAVE_FORMAT_MPEGLAYER3);
  const Bytes whole = ReadFileBytes(Dir.Path() / "whole.wav");
  const fs::path report = Dir.Path() / "report.jsonl";
  // SIGKILL cannot be caught: the file being written has no name to leave behind.
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGKILL}) {
    SCOPED_TRACE(signal);
    fs::remove(Out / "a.wav");
    fs::remove(report);
    std::ofstream(Out / "b.wav") << "old";
    // Both start at once: once a.wav is reported done, b.wav is being written.
    const TCommandResult run = RunAndSignal(
        ShellQuote(Program) + " -j 2 -c mp3 --report " + ShellQuote(report) + " -o " +
            ShellQuote(Out) + " " + ShellQuote(In / "a.wav") + " " + ShellQuote(In / "b.wav"),
        "compressed ", signal);
    EXPECT_EQ(run.ExitCode, 128 + signal) << run.Output;
    if (signal != SIGKILL) {
      EXPECT_THAT(run.Output, HasSubstr("\ninterrupted: 1 done"));
    }
    EXPECT_EQ(Tree(Out), (Names{"a.wav", "b.wav"}));
    EXPECT_EQ(ReadFileBytes(Out / "a.wav"), whole);
    EXPECT_EQ(ReadFileBytes(Out / "b.wav"), (Bytes{'o', 'l', 'd'}));
    // The report's line for a.wav went out, whole, before the line saying it is compressed;
    // the abandoned file has none.
    const Bytes lines = ReadFileBytes(report);
    const std::string text(lines.begin(), lines.end());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_EQ(text.rfind("{\"source\":\"" + (In / "a.wav").string() + "\",", 0), 0u) << text;
    EXPECT_THAT(text, ::testing::EndsWith("}\n"));
  }
}

TEST_F(Batch, ClosedOrFullOutputs) {
  // Standard output and error closed at the other end: the files are compressed all the same.
  WritePcm(In / "a.wav", 1, 4000, 1);
  WritePcm(In / "b.wav", 1, 4000, 2);
  int closed[2];
  ASSERT_EQ(pipe(closed), 0);
  close(closed[0]);
  EXPECT_EQ(RunTo({"-j", "1", "-c", "alaw", "-o", Out, In / "a.wav", In / "b.wav"}, closed[1]), 0);
  close(closed[1]);
  EXPECT_EQ(Tree(Out), (Names{"a.wav", "b.wav"}));

  // What is asked for on standard output fails when it cannot be written.
  const TCommandResult full =
      RunCommand("{ " + ShellQuote(Program) + " --list-codecs > /dev/full; }");
  EXPECT_EQ(full.ExitCode, 1);
  EXPECT_THAT(full.Output, HasSubstr("No space left on device"));
}

TEST_F(Batch, FoldersItCannotReadOrThatVanish) {
  // As a user the permissions hold for: the walk goes past a folder it cannot read, and a
  // folder made for files that all failed is removed again.
  WritePcm(In / "a.wav", 1, 4000, 1);
  WritePcm(In / "locked" / "b.wav", 1, 4000, 2);
  WritePcm(In / "z" / "c.wav", 1, 4000, 3);
  fs::create_directories(In / "bad");
  std::ofstream(In / "bad" / "x.wav") << "not a wave file";
  fs::permissions(Dir.Path(), fs::perms::all);
  fs::permissions(Out, fs::perms::all);
  fs::permissions(In / "locked", fs::perms::none);
  const TCommandResult run = RunCommand(NobodyPrefix() + ShellQuote(Program) + " -r -c alaw -o " +
                                        ShellQuote(Out) + " " + ShellQuote(In));
  fs::permissions(In / "locked", fs::perms::owner_all);
  EXPECT_EQ(run.ExitCode, 1) << run.Output;
  EXPECT_THAT(run.Output, HasSubstr("error: Cannot read the folder " + (In / "locked").string() +
                                    ": Permission denied.\n"));
  EXPECT_THAT(run.Output, HasSubstr("\n2 done, 0 skipped, 2 failed;"));
  EXPECT_EQ(Tree(Out), (Names{"a.wav", "z", "z/c.wav"}));

  // The output folder gone in the middle of a batch is not made again.
  const TBatchSettings settings =
      ParseBatchArguments({"-r", "-o", Out.string(), "-c", "alaw", In.string()});
  const std::vector<TBatchItem> items = PlanBatch(settings);
  fs::remove_all(Out);
  std::ostringstream out, err;
  const std::atomic<bool> stop{false};
  RunBatch(items, settings, {out, err, false, false}, stop);
  for (const fs::path& destination : {Out / "a.wav", Out / "z" / "c.wav"})
    EXPECT_THAT(err.str(), HasSubstr("error: Cannot write " + destination.string() + ": " +
                                     Out.string() + ": No such file or directory.\n"));
  EXPECT_FALSE(fs::exists(Out));
}

TEST_F(Batch, NamesAreEscapedAndTheSameFileIsTakenOnce) {
  WritePcm(In / "a.wav", 1, 4000, 1);
  const fs::path odd = In / "bad\033[2J\n.wav";
  std::ofstream(odd) << "not a wave file";
  const fs::path cut = In / "cut.wav";
  WritePcm(cut, 1, 4410, 2);
  fs::resize_file(cut, fs::file_size(cut) - 8820 + 472);
  const fs::path report = In / "report.jsonl";
  const TRun run = RunCommandLine({"-o", Out, "-c", "alaw", "--report", report, In / "a.wav",
                                   In / "a.wav", (In / "." / "a.wav").string(), odd, cut});
  EXPECT_EQ(run.Code, ExitFailed);
  EXPECT_EQ(run.Err.find('\033'), std::string::npos);
  EXPECT_THAT(run.Err, HasSubstr("error: " + In.string() +
                                 "/bad\\033[2J\\n.wav is not a wave file (no RIFF header).\n"));
  EXPECT_THAT(run.Err, HasSubstr("warning: " + cut.string() +
                                 ": the data ends after 236 of 4,410 frames\n"));
  EXPECT_THAT(run.Err, HasSubstr("\n2 done, 0 skipped, 1 failed, 1 warning; "));
  std::ifstream lines(report);
  std::string line, cutLine;
  while (std::getline(lines, line))
    if (line.find("cut.wav") != std::string::npos) cutLine = line;
  EXPECT_THAT(cutLine, HasSubstr("\"status\":\"warning\",\"reason\":\"" + cut.string() +
                                 ": the data ends after 236 of 4,410 frames\""));
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
