// The headless command's logic in process: its command line, the files it takes and where they
// go, the codec list, and whole batches on worker threads.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "app/BatchCommand.h"
#include "tests/support/MemoryStream.h"
#include "tests/support/Peers.h"
#include "wave/UKZWaveStream.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Args = std::vector<std::string>;

Bytes Slurp(const fs::path& AFile) {
  std::ifstream in(AFile, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WritePcm(const fs::path& AFile, uint16_t AChannels, uint32_t AFrames, uint32_t ASeed,
              uint32_t ARate = 22050, uint16_t ABits = 16) {
  fs::create_directories(AFile.parent_path());
  auto format = TKZWaveFormat::CreateDefault();
  format->SetFormatTag(WAVE_FORMAT_PCM);
  format->SetChannels(AChannels);
  format->SetSamplesPerSec(ARate);
  format->SetBitsPerSample(ABits);
  TMemoryStream audio(PseudoRandomBytes(AFrames * AChannels * ABits / 8, ASeed));
  auto wave = TKZMMIOWaveStream::OpenWriteFile(AFile.string(), *format);
  ASSERT_TRUE(wave && TKZStream::Copy(audio, *wave));
  wave->Close();
}

std::unique_ptr<TKZWaveFormat> FormatOf(const fs::path& AFile) {
  auto wave = TKZMMIOWaveStream::OpenReadFile(AFile.string());
  if (!wave) return nullptr;
  auto format = TKZWaveFormat::CreateDefault();
  format->Assign(&dynamic_cast<const TKZWaveStreamFormat&>(*wave->GetFormat()).WaveFormat());
  return format;
}

// Every file below a folder, relative to it, sorted.
std::vector<std::string> Tree(const fs::path& AFolder) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(AFolder))
    if (entry.is_regular_file()) files.push_back(entry.path().lexically_relative(AFolder));
  std::sort(files.begin(), files.end());
  return files;
}

std::string UsageError(const Args& AArguments) {
  try {
    ParseBatchArguments(AArguments);
  } catch (const EUsage& usage) {
    return usage.Message();
  }
  return "";
}

struct TRun {
  int Code;
  std::string Out, Err;
};

TRun RunCommandLine(const Args& AArguments, bool ATerminal = false, bool AColour = false) {
  std::ostringstream out, err;
  const std::atomic<bool> stop{false};
  const int code = RunBatchCommand(AArguments, {out, err, ATerminal, AColour}, stop);
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
  EXPECT_EQ(s.Action, TBatchAction::Compress);
  EXPECT_TRUE(s.Recursive && s.SkipExisting && s.Quiet && s.Threaded);
  EXPECT_EQ(s.Output, "OUT");
  EXPECT_EQ(s.Codec, WAVE_FORMAT_MULAW);
  EXPECT_EQ(s.SampleRate, 8000u);
  EXPECT_EQ(s.Channels, 1);
  EXPECT_EQ(s.Jobs, 3);
  EXPECT_EQ(s.Inputs, (Args{"a.wav", "-b.wav"}));
  EXPECT_EQ(ParseBatchArguments({"-o", "o", "-c", "0x11", "x"}).Codec, WAVE_FORMAT_IMA_ADPCM);
  EXPECT_EQ(ParseBatchArguments({"-o", "o", "-c", "2", "x"}).Codec, WAVE_FORMAT_ADPCM);
  EXPECT_EQ(ParseBatchArguments({"--list-codecs"}).Action, TBatchAction::ListCodecs);
  EXPECT_EQ(ParseBatchArguments({"-c", "nothing", "--help"}).Action, TBatchAction::Help);
  EXPECT_EQ(ParseBatchArguments({"--version"}).Action, TBatchAction::Version);

  const std::pair<Args, std::string> wrong[] = {
      {{"-c", "pcm", "x"}, "No output folder: give one with -o DIR."},
      {{"-o", "o", "x"}, "No codec: give one with -c CODEC"},
      {{"-o", "o", "-c", "pcm"}, "No files or folders to compress."},
      {{"-o", "o", "-c", "flac", "x"}, "Unknown codec \"flac\""},
      {{"-o", "o", "-c", "0x7777", "x"}, "Unknown codec \"0x7777\""},
      {{"-o", "o", "-c", "pcm", "-x", "x"}, "Unknown option -x."},
      {{"-o", "o", "-c", "pcm", "--fast", "x"}, "Unknown option --fast."},
      {{"-o", "o", "-c", "pcm", "--quiet=yes", "x"}, "The option --quiet takes no value."},
      {{"x", "-o"}, "The option -o needs a value."},
      {{"-o", "o", "-c", "pcm", "-j", "0", "x"}, "--jobs takes a number from 1 to 1,024"},
      {{"-o", "o", "-c", "pcm", "--rate", "fast", "x"}, "--rate takes a rate in Hz"},
      {{"-o", "o", "-c", "gsm610", "--rate", "16000", "x"},
       "gsm610 does not carry 16,000 Hz; it carries 8,000, 11,025, 22,050, 44,100 Hz; mono."},
      {{"-o", "o", "-c", "mp3", "--channels", "6", "x"}, "mp3 does not carry 6 channels"},
  };
  for (const auto& [arguments, message] : wrong)
    EXPECT_EQ(UsageError(arguments).rfind(message, 0), 0u) << UsageError(arguments);
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
    EXPECT_NE(listed.Out.find(head), std::string::npos) << head;
    EXPECT_NE(listed.Out.find(DescribeFormats(codec.Caps)), std::string::npos);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"pcm", "float", "ima-adpcm", "ms-adpcm", "alaw",
                                             "mulaw", "gsm610", "mp3"}));
  EXPECT_NE(listed.Out.find("IMA ADPCM      1,000 to 192,000 Hz; 1 to 2 channels; 4 bit"),
            std::string::npos);

  // A driver added to the table is listed and taken by its name.
  struct TNewDriver : acm::Driver {
    std::span<const acm::TagCaps> Tags() const override {
      static const acm::TagCaps caps[] = {{0x7F02, "New Codec 2", 8000, 8000, 1, 1, {8}, 18, 0}};
      return caps;
    }
    MMRESULT Suggest(const WAVEFORMATEX&, const WAVEFORMATEX&, uint32_t,
                     acm::FormatRecord&) const override {
      return ACMERR_NOTPOSSIBLE;
    }
    MMRESULT Open(const WAVEFORMATEX&, const WAVEFORMATEX&,
                  std::unique_ptr<acm::Converter>*) const override {
      return ACMERR_NOTPOSSIBLE;
    }
  };
  acm::ScopedDriver added(std::make_shared<TNewDriver>());
  EXPECT_NE(RunCommandLine({"--list-codecs"})
                .Out.find("0x7F02  new-codec-2 New Codec 2    8,000 to 8,000 Hz"),
            std::string::npos);
  EXPECT_EQ(ParseBatchArguments({"-o", "o", "-c", "new-codec-2", "x"}).Codec, 0x7F02);
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
  EXPECT_NE(first.Err.find("error: Cannot read " + (In / "sub1" / "bad.wav").string() +
                           " as a wave file."),
            std::string::npos)
      << first.Err;
  EXPECT_NE(first.Err.find("\n6 done, 0 skipped, 1 failed; "), std::string::npos) << first.Err;
  EXPECT_EQ(Tree(Out), (std::vector<std::string>{"sub0/f0.wav", "sub0/f2.wav", "sub0/f4.wav",
                                                 "sub1/f1.wav", "sub1/f3.wav", "sub1/f5.wav"}));
  const auto format = FormatOf(Out / "sub0" / "f0.wav");
  ASSERT_TRUE(format);
  EXPECT_EQ(format->GetFormatTag(), WAVE_FORMAT_MPEGLAYER3);
  EXPECT_EQ(format->GetSamplesPerSec(), 16000u);
  EXPECT_EQ(format->GetChannels(), 1);

  // Files at once, and threaded chains, write the same bytes.
  std::map<std::string, Bytes> before;
  for (const std::string& file : Tree(Out))
    before[file] = Slurp(Out / file);
  fs::remove_all(Out / "sub0");
  Args parallel = args;
  parallel.insert(parallel.begin(), {"-j", "3", "--threaded", "-q"});
  const TRun second = RunCommandLine(parallel);
  EXPECT_EQ(second.Code, ExitFailed);
  EXPECT_EQ(second.Err.find("done"), std::string::npos);  // quiet: errors only
  for (const std::string& file : Tree(Out))
    EXPECT_EQ(Slurp(Out / file), before[file]) << file;

  // Existing destinations are left alone when asked.
  std::ofstream(Out / "sub0" / "f0.wav") << "keep me";
  parallel.insert(parallel.begin(), "-n");
  parallel.erase(std::find(parallel.begin(), parallel.end(), "-q"));
  const TRun third = RunCommandLine(parallel);
  EXPECT_NE(third.Err.find("\n0 done, 6 skipped, 1 failed; "), std::string::npos) << third.Err;
  EXPECT_EQ(Slurp(Out / "sub0" / "f0.wav"), (Bytes{'k', 'e', 'e', 'p', ' ', 'm', 'e'}));

  // The phone case from studio files: a resampler's bursts outgrow its destination at times.
  for (uint16_t bits : {16, 24, 32}) {
    WritePcm(Dir.Path() / "studio.wav", 2, 96000, bits, 48000, bits);
    EXPECT_EQ(RunCommandLine({"-o", Out, "-c", "mulaw", "--rate", "8000", "--channels", "1",
                              Dir.Path() / "studio.wav"})
                  .Code,
              ExitSuccess);
    const auto phone = FormatOf(Out / "studio.wav");
    ASSERT_TRUE(phone);
    EXPECT_EQ(phone->GetFormatTag(), WAVE_FORMAT_MULAW);
    EXPECT_EQ(phone->GetSamplesPerSec(), 8000u);
    EXPECT_EQ(phone->GetChannels(), 1);
    EXPECT_EQ(fs::file_size(Out / "studio.wav"), 58u + 16000u);
  }
}

TEST_F(Batch, ProgressOnATerminalIsOneLineRedrawnInColourOnlyWhenAllowed) {
  WritePcm(In / "a.wav", 1, 4000, 1);
  const Args args = {"-o", Out.string(), "-c", "alaw", (In / "a.wav").string()};
  const TRun plain = RunCommandLine(args, true, false);
  EXPECT_EQ(plain.Code, ExitSuccess);
  EXPECT_NE(plain.Err.find("\r[########################] 1 of 1 files"), std::string::npos);
  EXPECT_EQ(plain.Err.find('\033'), std::string::npos);
  EXPECT_EQ(plain.Err.find("compressed"), std::string::npos);
  EXPECT_NE(RunCommandLine(args, true, true).Err.find("\033[32m####"), std::string::npos);
  EXPECT_EQ(
      RunCommandLine({"-q", "-o", Out.string(), "-c", "alaw", In.string() + "/a.wav"}, true).Err,
      "");
}

// A codec that asks the batch to stop once it has converted its first block.
class TStoppingDriver : public acm::Driver {
 public:
  static constexpr uint16_t Tag = 0x7F03;
  explicit TStoppingDriver(std::atomic<bool>& AStop) : FStop(&AStop) {}

  std::span<const acm::TagCaps> Tags() const override {
    static const acm::TagCaps caps[] = {{Tag, "Stopping", 1, 96000, 1, 2, {16}, 18, 0}};
    return caps;
  }
  MMRESULT Suggest(const WAVEFORMATEX& ASource, const WAVEFORMATEX&, uint32_t,
                   acm::FormatRecord& AResult) const override {
    WAVEFORMATEX format = ASource;
    format.wFormatTag = Tag;
    AResult = acm::FormatRecord(format);
    return MMSYSERR_NOERROR;
  }
  MMRESULT Open(const WAVEFORMATEX& ASource, const WAVEFORMATEX&,
                std::unique_ptr<acm::Converter>* AConverter) const override {
    if (ASource.wFormatTag != WAVE_FORMAT_PCM) return ACMERR_NOTPOSSIBLE;
    if (AConverter) *AConverter = std::make_unique<TConverter>(FStop);
    return MMSYSERR_NOERROR;
  }

 private:
  struct TConverter : acm::Converter {
    explicit TConverter(std::atomic<bool>* AStop) : Stop(AStop) {}
    std::atomic<bool>* Stop;
    uint64_t DestinationSize(uint64_t ABytes) const override { return ABytes; }
    uint64_t SourceSize(uint64_t ABytes) const override { return ABytes; }
    MMRESULT Convert(acm::ConvertCall& ACall) override {
      Stop->store(true);
      const uint32_t count = std::min(ACall.source_length, ACall.destination_length) & ~3u;
      std::copy_n(ACall.source, count, ACall.destination);
      ACall.source_used = ACall.destination_used = count;
      return MMSYSERR_NOERROR;
    }
  };
  std::atomic<bool>* FStop;
};

TEST_F(Batch, AStoppedBatchAbandonsItsFileAndStartsNoOther) {
  WritePcm(In / "a.wav", 2, 40000, 1);
  WritePcm(In / "b.wav", 2, 40000, 2);
  std::atomic<bool> stop{false};
  acm::ScopedDriver stopping(std::make_shared<TStoppingDriver>(stop));
  std::ostringstream out, err;
  EXPECT_EQ(
      RunBatchCommand({"-j", "1", "-o", Out.string(), "-c", "0x7F03", In / "a.wav", In / "b.wav"},
                      {out, err, false, false}, stop),
      ExitInterrupted);
  EXPECT_NE(err.str().find("interrupted: 0 done, 0 skipped, 0 failed, 2 not compressed"),
            std::string::npos)
      << err.str();
  EXPECT_EQ(Tree(Out), std::vector<std::string>{});
}

}  // namespace
