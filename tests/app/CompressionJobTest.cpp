// The compression job on real files, and how it keeps files whole when something fails.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/CompressionJob.h"
#include "app/DestinationFile.h"
#include "platform/acm/AcmDriver.h"
#include "tests/support/FakeCodec.h"
#include "tests/support/Nobody.h"
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
  CompressFile(Source, Destination, WAVE_FORMAT_MULAW);
  EXPECT_EQ(TagOf(Destination), WAVE_FORMAT_MULAW);
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
  for (rlim_t size : {16384, 20}) {
    // A full disk, as a size limit per file: writing stops part-way, or in the head.
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = size;
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string failure = FailureOf(Source, Destination, WAVE_FORMAT_PCM);
    setrlimit(RLIMIT_FSIZE, &old);
    sigaction(SIGXFSZ, &previous, nullptr);
    EXPECT_EQ(failure, "Cannot write " + Destination + ": File too large.");
  }
  EXPECT_EQ(ReadFileBytes(Destination), good);
  EXPECT_EQ(Leftovers(Out, {"take.wav"}), std::vector<std::string>{});
}

TEST_F(CompressionJob, TheFileHasNoNameWhileWrittenAndFollowsNoLink) {
  // Nothing but the finished file ever shows in the folder.
  std::vector<std::string> seen;
  TCompressOptions options;
  options.Progress = [&](int32_t) {
    for (const std::string& name : Leftovers(Out, {}))
      seen.push_back(name);
  };
  CompressFile(Source, Destination, WAVE_FORMAT_ALAW, options);
  EXPECT_EQ(seen, std::vector<std::string>{});
  EXPECT_EQ(TagOf(Destination), WAVE_FORMAT_ALAW);

  // A destination that is a link is replaced, not written through.
  const std::string victim = Dir.File("victim");
  std::ofstream(victim) << "keep";
  fs::remove(Destination);
  fs::create_symlink(victim, Destination);
  CompressFile(Source, Destination, WAVE_FORMAT_ALAW);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Destination)));
  EXPECT_EQ(ReadFileBytes(victim), (Bytes{'k', 'e', 'e', 'p'}));

  // Where unnamed files are refused: a named one, which a link put in its place cannot
  // redirect.
  {
    TDestinationFile named(Out + "/named.wav", true, false);
    ASSERT_EQ(named.TemporaryName().rfind(TemporaryPrefix, 0), 0u);
    fs::remove(Out + "/" + named.TemporaryName());
    fs::create_symlink(victim, Out + "/" + named.TemporaryName());
    ASSERT_EQ(::write(named.Descriptor(), "new", 3), 3);
    EXPECT_NE(RaisedMessage([&] { named.Commit(); }).find("was replaced while it was written"),
              std::string::npos);
  }
  EXPECT_EQ(ReadFileBytes(victim), (Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Out + "/named.wav")));

  // Every destination name that fits the limit fits its temporary names too.
  const std::string longest = Out + "/" + std::string(251, 'n') + ".wav";
  CompressFile(Source, longest, WAVE_FORMAT_ALAW);
  TDestinationFile named(longest, false, false);
  named.Commit();
  EXPECT_EQ(ReadFileBytes(longest), Bytes{});
}

TEST_F(CompressionJob, LeftoversOfKilledJobsAreRemovedAndReplacedFilesKeepTheirOwners) {
  // A named temporary file a killed job left a while ago goes; a fresh one (another job's,
  // running) and another user's stay.
  const std::string folder = Dir.File("named");
  fs::create_directories(folder);
  const std::string old = folder + "/" + TemporaryPrefix + "0123456789abcdef.part",
                    fresh = folder + "/" + TemporaryPrefix + "fedcba9876543210.part",
                    foreign = folder + "/" + TemporaryPrefix + "00000000ffffffff.part";
  for (const std::string& file : {old, fresh, foreign})
    std::ofstream(file) << "part";
  const timespec minutesAgo[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
  for (const std::string& file : {old, foreign})
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), minutesAgo, 0), 0);
  const bool others = geteuid() == 0;
  if (others) {
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
  }
  { TDestinationFile file(folder + "/x.wav", false); }
  EXPECT_FALSE(fs::exists(old));
  EXPECT_TRUE(fs::exists(fresh));
  EXPECT_EQ(fs::exists(foreign), others);

  // A replaced file's mode, owner and group stay as they were.
  std::ofstream(Destination) << "older";
  ASSERT_EQ(chmod(Destination.c_str(), 0640), 0);
  if (others) {
    ASSERT_EQ(chown(Destination.c_str(), 65534, 65534), 0);
  }
  struct stat before, after;
  ASSERT_EQ(stat(Destination.c_str(), &before), 0);
  CompressFile(Source, Destination, WAVE_FORMAT_ALAW);
  ASSERT_EQ(stat(Destination.c_str(), &after), 0);
  EXPECT_EQ(TagOf(Destination), WAVE_FORMAT_ALAW);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
}

TEST_F(CompressionJob, EveryFailureSaysWhy) {
  auto file = [&](const std::string& AName, const Bytes& ABytes, off_t ASize = 0) {
    const std::string name = In + "/" + AName;
    WriteFileBytes(name, ABytes);
    if (ASize > 0) {
      EXPECT_EQ(truncate(name.c_str(), ASize), 0);
    }
    return name;
  };
  const Bytes fmt = Chunk("fmt ", Record(1, 1, 8000, 16, 16)), data = Chunk("data", {1, 2});
  Bytes junk = {'j', 'u', 'n', 'k'};
  const Bytes riff = Riff("WAVE", {fmt, data});
  junk.insert(junk.end(), riff.begin(), riff.end());
  Bytes rf64 = riff;
  std::copy_n("RF64", 4, rf64.begin());
  const std::string fifo = In + "/fifo.wav";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  fs::create_directories(In + "/folder.wav");
  const std::pair<std::string, std::string> sources[] = {
      {In + "/none.wav", "Cannot read " + In + "/none.wav: No such file or directory."},
      {In + "/folder.wav", "Cannot read " + In + "/folder.wav: it is a folder."},
      {fifo, "Cannot read " + fifo + ": it is a FIFO, not a regular file."},
      {"/dev/zero", "Cannot read /dev/zero: it is a device, not a regular file."},
      {file("zeros.wav", {}, 100'000'000), In + "/zeros.wav is not a wave file (no RIFF header)."},
      {file("junk.wav", junk), In + "/junk.wav is not a wave file (no RIFF header)."},
      {file("rf64.wav", rf64),
       In + "/rf64.wav is not a wave file (an RF64 header without its ds64 chunk)."},
      {file("avi.wav", Riff("AVI ", {fmt, data})),
       In + "/avi.wav is not a wave file (a RIFF file of another kind)."},
      {file("empty.wav", Riff("WAVE", {}), 100'000'000),
       In + "/empty.wav is not a wave file (no fmt chunk)."},
      {file("nodata.wav", Riff("WAVE", {fmt})),
       In + "/nodata.wav is not a wave file (no data chunk)."},
  };
  for (const auto& [source, message] : sources)
    EXPECT_EQ(FailureOf(source, Destination, WAVE_FORMAT_ALAW), message);
  fs::create_directories(Out + "/folder.wav");
  EXPECT_EQ(FailureOf(Source, Out + "/folder.wav", WAVE_FORMAT_ALAW),
            "Cannot write " + Out + "/folder.wav: Is a directory.");

  // What only permissions refuse, met by a user they hold for.
  fs::permissions(Dir.Path(), fs::perms::all);
  const std::string locked = file("locked.wav", riff);
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  std::ofstream(Destination) << "older";
  ASSERT_EQ(chmod(Destination.c_str(), 0444), 0);
  ASSERT_EQ(chmod(Out.c_str(), 0555), 0);
  const std::pair<std::pair<std::string, std::string>, std::string> denied[] = {
      {{locked, Out + "/locked.wav"}, "Cannot read " + locked + ": Permission denied."},
      {{Source, Destination}, Destination + " is read-only."},
      {{Source, Out + "/new.wav"}, "Cannot write " + Out + "/new.wav: Permission denied."},
  };
  for (const auto& [files, message] : denied)
    EXPECT_EQ(AsNobody([&, &f = files] { return FailureOf(f.first, f.second, WAVE_FORMAT_ALAW); }),
              message);
  EXPECT_EQ(ReadFileBytes(Destination), (Bytes{'o', 'l', 'd', 'e', 'r'}));
  chmod(Out.c_str(), 0755);
}

TEST_F(CompressionJob, HostileSources) {
  // MP3 frames that are all garbage decode to nothing: a failure, not an empty file.
  const std::string mp3 = In + "/mp3.wav";
  CompressFile(Source, mp3, WAVE_FORMAT_MPEGLAYER3);
  Bytes bytes = ReadFileBytes(mp3);
  const Bytes noise = PseudoRandomBytes(bytes.size(), 7);
  const auto data =
      std::search(bytes.begin(), bytes.end(), std::begin("data"), std::end("data") - 1);
  ASSERT_NE(data, bytes.end());
  std::copy(noise.begin() + (data - bytes.begin()) + 8, noise.end(), data + 8);
  WriteFileBytes(mp3, bytes);
  CompressFile(Source, Destination, WAVE_FORMAT_ALAW);
  const Bytes good = ReadFileBytes(Destination);
  EXPECT_EQ(FailureOf(mp3, Destination, WAVE_FORMAT_ALAW),
            "No audio could be decoded from " + mp3 + ".");
  EXPECT_EQ(ReadFileBytes(Destination), good);

  // A recording cut short is compressed as far as it goes (its warning's words: the batch
  // command's test).
  const std::string cut = In + "/cut.wav";
  WriteWaveFile(cut, *MakeLinear(WAVE_FORMAT_PCM, 1, 44100, 16), PseudoRandomBytes(8820, 3));
  ASSERT_EQ(truncate(cut.c_str(), static_cast<off_t>(fs::file_size(cut) - 8820 + 472)), 0);
  CompressFile(cut, Destination, WAVE_FORMAT_PCM);
  auto written = TKZMMIOWaveStream::OpenReadFile(Destination);
  ASSERT_TRUE(written);
  EXPECT_EQ(ReadAll(*written).size(), 472u);
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
