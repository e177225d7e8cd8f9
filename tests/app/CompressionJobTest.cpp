// The compression job on real files, for every codec of the manager, and how it keeps files
// whole when something fails.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "app/CompressionJob.h"
#include "platform/acm/AcmDriver.h"
#include "platform/rtl/Exception.h"
#include "tests/support/MemoryStream.h"
#include "tests/support/Peers.h"
#include "tests/support/ScriptedUi.h"
#include "wave/UKZWaveStream.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes Slurp(const std::string& AFile) {
  std::ifstream in(AFile, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WritePcm(const std::string& AFile, uint16_t AChannels, uint32_t ARate, uint32_t AFrames) {
  auto format = TKZWaveFormat::CreateDefault();
  format->SetFormatTag(WAVE_FORMAT_PCM);
  format->SetChannels(AChannels);
  format->SetSamplesPerSec(ARate);
  format->SetBitsPerSample(16);
  auto wave_format = TKZWaveStreamFormat::CreateFromFormat(format.get());
  TMemoryStream audio(PseudoRandomBytes(AFrames * AChannels * 2, ARate));
  auto wave = TKZMMIOWaveStream::OpenWriteFile(AFile, *wave_format);
  ASSERT_TRUE(wave && TKZStream::Copy(audio, *wave));
  wave->Close();
}

uint16_t TagOf(const std::string& AFile) {
  auto wave = TKZMMIOWaveStream::OpenReadFile(AFile);
  if (!wave) return 0;
  return dynamic_cast<const TKZWaveStreamFormat&>(*wave->GetFormat()).WaveFormat().GetFormatTag();
}

std::vector<uint16_t> Codecs() {
  std::vector<uint16_t> tags;
  ACMFORMATTAGDETAILSA details{};
  details.cbStruct = sizeof details;
  acmFormatTagEnumA(
      nullptr, &details,
      [](HACMDRIVERID, ACMFORMATTAGDETAILSA* ADetails, uintptr_t AList, uint32_t) {
        reinterpret_cast<std::vector<uint16_t>*>(AList)->push_back(
            static_cast<uint16_t>(ADetails->dwFormatTag));
        return 1;
      },
      reinterpret_cast<uintptr_t>(&tags), 0);
  return tags;
}

// Everything in the folder but the named files: what a job may have left behind.
std::vector<std::string> Leftovers(const fs::path& AFolder, std::vector<std::string> AKnown) {
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(AFolder))
    if (std::find(AKnown.begin(), AKnown.end(), entry.path().filename()) == AKnown.end())
      left.push_back(entry.path().filename());
  return left;
}

std::string FailureOf(const std::string& ASource, const std::string& ADestination, int32_t ACodec) {
  try {
    CompressFile(ASource, ADestination, ACodec);
  } catch (const Exception& failure) {
    return failure.Message();
  }
  return "";
}

// A codec that takes two conversions and then fails, or stalls (using and making nothing).
class TFailingDriver : public acm::Driver {
 public:
  static constexpr uint16_t Tag = 0x7F01;
  explicit TFailingDriver(bool AStall = false) : FStall(AStall) {}

  std::span<const acm::TagCaps> Tags() const override {
    static const acm::TagCaps caps[] = {
        {Tag, "Failing", 8000, 48000, 1, 2, {16}, 18, ACMDRIVERDETAILS_SUPPORTF_CODEC}};
    return caps;
  }
  MMRESULT Suggest(const WAVEFORMATEX& ASource, const WAVEFORMATEX&, uint32_t,
                   acm::FormatRecord& AResult) const override {
    if (ASource.wFormatTag != WAVE_FORMAT_PCM || ASource.wBitsPerSample != 16)
      return ACMERR_NOTPOSSIBLE;
    WAVEFORMATEX format = ASource;
    format.wFormatTag = Tag;
    format.cbSize = 0;
    AResult = acm::FormatRecord(format);
    return MMSYSERR_NOERROR;
  }
  MMRESULT Open(const WAVEFORMATEX& ASource, const WAVEFORMATEX& ADestination,
                std::unique_ptr<acm::Converter>* AConverter) const override {
    if (ASource.wFormatTag != WAVE_FORMAT_PCM || ADestination.wFormatTag != Tag)
      return ACMERR_NOTPOSSIBLE;
    if (AConverter) *AConverter = std::make_unique<TConverter>(FStall);
    return MMSYSERR_NOERROR;
  }

 private:
  bool FStall;
  struct TConverter : acm::Converter {
    explicit TConverter(bool AStall) : Stall(AStall) {}
    bool Stall;
    int Calls = 0;
    uint64_t DestinationSize(uint64_t ABytes) const override { return ABytes; }
    uint64_t SourceSize(uint64_t ABytes) const override { return ABytes; }
    MMRESULT Convert(acm::ConvertCall& ACall) override {
      if (++Calls > 2) return Stall ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
      const uint32_t count = std::min(ACall.source_length, ACall.destination_length) & ~1u;
      std::copy_n(ACall.source, count, ACall.destination);
      ACall.source_used = ACall.destination_used = count;
      return MMSYSERR_NOERROR;
    }
  };
};

class CompressionJob : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(In);
    fs::create_directories(Out);
    WritePcm(Source, 1, 22050, 20000);
  }
  TTempDir Dir;
  const std::string In = Dir.File("in"), Out = Dir.File("out");
  const std::string Source = In + "/take.wav", Destination = Out + "/take.wav";
};

TEST_F(CompressionJob, EveryCodecWritesAFileThatPeersDecode) {
  REQUIRE_PEER("ffmpeg");
  const std::vector<uint16_t> codecs = Codecs();
  ASSERT_GE(codecs.size(), 5u);
  for (uint16_t tag : codecs) {
    SCOPED_TRACE(tag);
    const std::string destination = Out + "/" + std::to_string(tag) + ".wav";
    CompressFile(Source, destination, tag);
    EXPECT_EQ(TagOf(destination), tag);
    const TCommandResult decode =
        RunCommand("ffmpeg -v error -i " + ShellQuote(destination) + " -f null -");
    EXPECT_EQ(decode.ExitCode, 0) << decode.Output;
  }
  // Only the low 16 bits name the codec.
  CompressFile(Source, Destination, 0x10000 | WAVE_FORMAT_IMA_ADPCM);
  EXPECT_EQ(TagOf(Destination), WAVE_FORMAT_IMA_ADPCM);
  EXPECT_EQ(Leftovers(Out, {}).size(), codecs.size() + 1);
}

TEST_F(CompressionJob, TheSourceIsNeverItsOwnDestination) {
  const Bytes before = Slurp(Source);
  const std::string expected = "Cannot compress " + Source + " into " + Source +
                               ": it is the source file itself. Choose another output directory.";
  EXPECT_EQ(FailureOf(Source, Source, WAVE_FORMAT_ALAW), expected);
  const std::string dotted = Out + "/../in/take.wav", linked = Out + "/link.wav";
  fs::create_symlink(Source, linked);
  EXPECT_NE(FailureOf(Source, dotted, WAVE_FORMAT_ALAW), "");
  EXPECT_NE(FailureOf(Source, linked, WAVE_FORMAT_ALAW), "");
  EXPECT_EQ(Slurp(Source), before);
  EXPECT_EQ(Leftovers(In, {"take.wav"}), std::vector<std::string>{});
}

TEST_F(CompressionJob, OverwritesOnlyWithACompleteFile) {
  std::ofstream(Destination) << "an older file";
  fs::permissions(Destination,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  CompressFile(Source, Destination, WAVE_FORMAT_MULAW);
  EXPECT_EQ(TagOf(Destination), WAVE_FORMAT_MULAW);
  EXPECT_EQ(fs::status(Destination).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const Bytes good = Slurp(Destination);

  // Whatever fails, the destination stays as it was and nothing else is left.
  std::ofstream(In + "/text.wav") << "not a wave file";
  EXPECT_EQ(FailureOf(In + "/text.wav", Destination, WAVE_FORMAT_MULAW),
            "Cannot read " + In + "/text.wav as a wave file.");
  EXPECT_EQ(FailureOf(In + "/missing.wav", Destination, WAVE_FORMAT_MULAW),
            "Cannot read " + In + "/missing.wav as a wave file.");
  EXPECT_EQ(FailureOf(Source, Out + "/no/such/folder/take.wav", WAVE_FORMAT_MULAW),
            "Cannot create " + Out + "/no/such/folder/take.wav.");
  const std::string no_path = FailureOf(Source, Destination, 0x7F55);
  EXPECT_EQ(no_path.rfind("No conversion from PCM ", 0), 0u) << no_path;
  EXPECT_NE(no_path.find(" to format tag 32597 for " + Source + "."), std::string::npos);
  for (bool stall : {false, true}) {
    acm::ScopedDriver failing(std::make_shared<TFailingDriver>(stall));
    EXPECT_EQ(FailureOf(Source, Destination, TFailingDriver::Tag),
              "Compression of " + Source + " stopped early.");
  }
  {
    // The disk takes no more than 16 KiB per file: writing stops part-way.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit limit{}, old{};
    getrlimit(RLIMIT_FSIZE, &old);
    limit = old;
    limit.rlim_cur = 16384;
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string failure = FailureOf(Source, Destination, WAVE_FORMAT_PCM);
    setrlimit(RLIMIT_FSIZE, &old);
    sigaction(SIGXFSZ, &previous, nullptr);
    EXPECT_EQ(failure, "Compression of " + Source + " stopped early.");
  }
  EXPECT_EQ(Slurp(Destination), good);
  EXPECT_EQ(Leftovers(Out, {"take.wav"}), std::vector<std::string>{});
  EXPECT_EQ(Leftovers(In, {"take.wav", "text.wav"}), std::vector<std::string>{});
}

TEST(ChooseCodec, AnswersTheChosenTagAndCancelKeepsTheCodec) {
  TTestApplication app;
  std::vector<uint32_t> styles;
  int cancel = 0;
  acm::FormatChooseDialog previous = acm::SetFormatChooseDialog([&](ACMFORMATCHOOSEA& ARequest) {
    EXPECT_STREQ(ARequest.pszTitle, "Choose a compression format:");
    EXPECT_EQ(ARequest.hwndOwner, reinterpret_cast<HWND>(app.Handle()));
    EXPECT_EQ(ARequest.fdwEnum, 0u);
    EXPECT_EQ(ARequest.pwfxEnum, nullptr);
    styles.push_back(ARequest.fdwStyle);
    if (cancel) return ACMERR_CANCELED;
    for (const acm::FormatChoice& choice : acm::ListFormatChoices(ARequest))
      if (choice.format.Get().wFormatTag == WAVE_FORMAT_MULAW)
        return acm::StoreFormatChoice(ARequest, choice);
    return ACMERR_NOTPOSSIBLE;
  });
  EXPECT_EQ(ChooseCodec(), WAVE_FORMAT_MULAW);
  EXPECT_EQ(ChooseCodec(), WAVE_FORMAT_MULAW);
  EXPECT_EQ(styles, (std::vector<uint32_t>{0, 0}));  // never opens on the last choice
  cancel = 1;
  EXPECT_THROW(ChooseCodec(), EAbort);
  acm::SetFormatChooseDialog(previous);
}

}  // namespace
