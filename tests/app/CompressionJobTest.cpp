// The compression job on real files, for every codec of the manager, and how it keeps files
// whole when something fails.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/CompressionJob.h"
#include "platform/acm/AcmDriver.h"
#include "tests/support/FakeCodec.h"
#include "tests/support/Peers.h"
#include "tests/support/Raises.h"
#include "tests/support/ScriptedUi.h"
#include "tests/support/WaveFiles.h"

namespace {

namespace fs = std::filesystem;

uint16_t TagOf(const std::string& AFile) {
  auto wave = TKZMMIOWaveStream::OpenReadFile(AFile);
  return wave ? WaveOf(*wave).GetFormatTag() : 0;
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
  return RaisedMessage([&] { CompressFile(ASource, ADestination, ACodec); });
}

// The fake codec, but its converter takes two blocks and then fails, or stalls (using and
// making nothing).
struct TFailingCodec : TFakeCodec {
  explicit TFailingCodec(bool AStall) : Stall(AStall) {}
  bool Stall;
  MMRESULT Open(const WAVEFORMATEX& ASource, const WAVEFORMATEX& ADestination,
                std::unique_ptr<acm::Converter>* AConverter) const override {
    const MMRESULT opened = TFakeCodec::Open(ASource, ADestination, AConverter);
    if (opened == MMSYSERR_NOERROR && AConverter)
      *AConverter = std::make_unique<TFailing>(std::move(*AConverter), Stall);
    return opened;
  }
  struct TFailing : acm::Converter {
    TFailing(std::unique_ptr<acm::Converter> AInner, bool AStall)
        : Inner(std::move(AInner)), Stall(AStall) {}
    std::unique_ptr<acm::Converter> Inner;
    bool Stall;
    int Calls = 0;
    uint64_t DestinationSize(uint64_t N) const override { return Inner->DestinationSize(N); }
    uint64_t SourceSize(uint64_t N) const override { return Inner->SourceSize(N); }
    MMRESULT Convert(acm::ConvertCall& ACall) override {
      if (++Calls <= 2) return Inner->Convert(ACall);
      return Stall ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
    }
  };
};

class CompressionJob : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(In);
    fs::create_directories(Out);
    WriteWaveFile(Source, *MakeLinear(WAVE_FORMAT_PCM, 1, 22050, 16),
                  PseudoRandomBytes(40000, 22050));
  }
  TTempDir Dir;
  const std::string In = Dir.File("in"), Out = Dir.File("out");
  const std::string Source = In + "/take.wav", Destination = Out + "/take.wav";
};

TEST_F(CompressionJob, EveryCodecWritesAFileThatPeersDecode) {
  REQUIRE_PEER("ffmpeg");
  std::vector<uint16_t> codecs;
  for (const auto& driver : acm::Drivers())
    for (const acm::TagCaps& caps : driver->Tags())
      codecs.push_back(caps.tag);
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
  const Bytes before = ReadFileBytes(Source);
  const std::string linked = Out + "/link.wav";
  fs::create_symlink(Source, linked);
  for (const std::string& same : {Source, Out + "/../in/take.wav", linked})
    EXPECT_EQ(FailureOf(Source, same, WAVE_FORMAT_ALAW),
              "Cannot compress " + Source + " into " + same +
                  ": it is the source file itself. Choose another output directory.");
  EXPECT_EQ(ReadFileBytes(Source), before);
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
  const Bytes good = ReadFileBytes(Destination);

  // Whatever fails, the destination stays as it was and nothing else is left.
  EXPECT_EQ(FailureOf(Source, Out + "/no/such/folder/take.wav", WAVE_FORMAT_MULAW),
            "Cannot write " + Out + "/no/such/folder/take.wav: " + Out +
                "/no/such/folder: No such file or directory.");
  const std::string no_path = FailureOf(Source, Destination, 0x7F55);
  EXPECT_EQ(no_path.rfind("No conversion from PCM ", 0), 0u) << no_path;
  EXPECT_NE(no_path.find(" to format tag 32597 for " + Source + "."), std::string::npos);
  for (bool stall : {false, true}) {
    acm::ScopedDriver failing(std::make_shared<TFailingCodec>(stall));
    EXPECT_EQ(FailureOf(Source, Destination, kFakeTag),
              "Compression of " + Source + " stopped early.");
  }
  {
    // The disk takes no more than 16 KiB per file: writing stops part-way.
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = 16384;
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string failure = FailureOf(Source, Destination, WAVE_FORMAT_PCM);
    setrlimit(RLIMIT_FSIZE, &old);
    sigaction(SIGXFSZ, &previous, nullptr);
    EXPECT_EQ(failure, "Cannot write " + Destination + ": File too large.");
  }
  EXPECT_EQ(ReadFileBytes(Destination), good);
  EXPECT_EQ(Leftovers(Out, {"take.wav"}), std::vector<std::string>{});
}

TEST(ChooseCodec, AnswersTheChosenTagAndCancelKeepsTheCodec) {
  TTestApplication app;
  bool cancel = false;
  acm::FormatChooseDialog previous = acm::SetFormatChooseDialog([&](ACMFORMATCHOOSEA& ARequest) {
    EXPECT_EQ(ARequest.hwndOwner, reinterpret_cast<HWND>(app.Handle()));
    if (cancel) return ACMERR_CANCELED;
    for (const acm::FormatChoice& choice : acm::ListFormatChoices(ARequest))
      if (choice.format.Get().wFormatTag == WAVE_FORMAT_MULAW)
        return acm::StoreFormatChoice(ARequest, choice);
    return ACMERR_NOTPOSSIBLE;
  });
  EXPECT_EQ(ChooseCodec(), WAVE_FORMAT_MULAW);
  cancel = true;
  EXPECT_THROW(ChooseCodec(), EAbort);
  acm::SetFormatChooseDialog(previous);
}

}  // namespace
