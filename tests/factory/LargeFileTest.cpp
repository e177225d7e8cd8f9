// Wave files past 2 GiB and 4 GiB, made sparse so that no gigabytes are written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "factory/UKZWaveStreamFactory.h"
#include "platform/acm/Acm.h"
#include "tests/support/Peers.h"
#include "tests/support/WaveFiles.h"
#include "wave/UKZWaveStream.h"

namespace {

// A disk file whose runs of zeros become holes: what the procedure is asked to write past
// the head is skipped when it is all zeros, and the file is given its length when it closes.
LRESULT SparseFile(MMIOINFO* AInfo, uint32_t AMessage, LPARAM AParam1, LPARAM AParam2) {
  const int fd = static_cast<int>(AInfo->adwInfo[0]);
  auto& end = reinterpret_cast<int64_t&>(AInfo->adwInfo[1]);
  switch (AMessage) {
    case MMIOM_OPEN:
      AInfo->lDiskOffset = 0;
      return 0;
    case MMIOM_SEEK: {
      const int64_t base = AParam2 == SEEK_SET ? 0 : AParam2 == SEEK_CUR ? AInfo->lDiskOffset : end;
      return AInfo->lDiskOffset = base + AParam1;
    }
    case MMIOM_WRITE: {
      const auto* bytes = reinterpret_cast<const char*>(AParam1);
      static const char kZeros[HKZStream::CopyBufferSize] = {};
      bool zeros = true;
      for (LPARAM at = 0; zeros && at < AParam2; at += sizeof kZeros)
        zeros =
            std::memcmp(bytes + at, kZeros,
                        static_cast<size_t>(std::min<LPARAM>(sizeof kZeros, AParam2 - at))) == 0;
      if ((!zeros || AInfo->lDiskOffset < 4096) &&
          ::pwrite(fd, bytes, static_cast<size_t>(AParam2), AInfo->lDiskOffset) != AParam2)
        return -1;
      AInfo->lDiskOffset += AParam2;
      end = std::max(end, AInfo->lDiskOffset);
      return AParam2;
    }
    case MMIOM_CLOSE:
      return ::ftruncate(fd, end) == 0 && ::close(fd) == 0 ? 0 : MMIOERR_CANNOTCLOSE;
    default:
      return -1;
  }
}

std::unique_ptr<TKZMMIOStream> OpenSparse(const std::string& AName) {
  MMIOINFO info{};
  info.pIOProc = &SparseFile;
  info.adwInfo[0] = static_cast<uintptr_t>(::open(AName.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644));
  return std::make_unique<TKZMMIOStream>(
      std::make_unique<TKZMMIO>(mmioOpenA(nullptr, &info, MMIO_READWRITE)));
}

uint64_t LE(const Bytes& ABytes, size_t AAt, int ACount) {
  uint64_t value = 0;
  for (int i = ACount - 1; i >= 0; --i)
    value = value << 8 | ABytes[AAt + i];
  return value;
}

TEST(LargeFiles, ASparseRiffOf2Point5GBIsReadToItsEnd) {
  TTempDir dir;
  const std::string name = dir.File("long.wav");
  // 64-bit float mono at 8,000 Hz (few samples for the bytes, so that the codec costs little):
  // 2.5 GB are 11 hours, and the data size needs all 32 bits.
  constexpr uint32_t kData = 2'500'000'000u;
  Bytes head = Riff("WAVE", {Chunk("fmt ", Record(3, 1, 8000, 64, 16)), Chunk("data", {})});
  for (int i = 0; i < 4; ++i) {
    head[4 + i] = static_cast<uint8_t>((kData + 36) >> (8 * i));
    head[40 + i] = static_cast<uint8_t>(kData >> (8 * i));
  }
  // The last samples are not silence, so that reading them is seen.
  WriteFileBytes(name, head);
  ASSERT_EQ(::truncate(name.c_str(), int64_t{44} + kData), 0);
  const int fd = ::open(name.c_str(), O_WRONLY);
  const double tail[2] = {0.5, -0.5};
  ASSERT_EQ(::pwrite(fd, tail, 16, int64_t{44} + kData - 16), 16);
  ::close(fd);

  auto factory = TKZWaveStreamFactory::Create();
  factory->GetFormat().SetFormatTag(WAVE_FORMAT_ALAW);
  auto reader = factory->CreateReadStream(name);
  ASSERT_TRUE(reader);
  std::vector<uint8_t> block(1 << 16);
  int64_t total = 0;
  uint8_t last[2] = {};
  for (int32_t n; (n = reader->Read(Area(reinterpret_cast<uintptr_t>(block.data()),
                                         static_cast<int32_t>(block.size())))) > 0;) {
    total += n;
    if (n >= 2) std::memcpy(last, block.data() + n - 2, 2);
  }
  EXPECT_EQ(total, kData / 8);
  EXPECT_NE(last[0], last[1]);  // +0.5 and -0.5 of full scale, the last samples
}

TEST(LargeFiles, AWriterPassing4GiBWritesRF64ThatPeersRead) {
  TTempDir dir;
  const std::string name = dir.File("long.wav");
  auto pcm = MakeLinear(1, 2, 48000, 16);
  auto sparse = OpenSparse(name);
  auto wave = TKZMMIOWaveStream::OpenWrite(sparse, *pcm);
  ASSERT_TRUE(wave);
  // Silence, and a last block that is not.
  constexpr int64_t kData = (int64_t{4} << 30) + 192000;
  std::vector<uint8_t> block(HKZStream::CopyBufferSize);
  const auto area = Area(reinterpret_cast<uintptr_t>(block.data()), HKZStream::CopyBufferSize);
  for (int64_t done = 0; done < kData - HKZStream::CopyBufferSize; done += block.size())
    ASSERT_EQ(wave->Write(area), HKZStream::CopyBufferSize);
  std::fill(block.begin(), block.end(), 0x40);
  ASSERT_EQ(wave->Write(area), HKZStream::CopyBufferSize);
  wave->Close();

  const int fd = ::open(name.c_str(), O_RDONLY);
  Bytes head(82);
  ASSERT_EQ(::pread(fd, head.data(), head.size(), 0), 82);
  ::close(fd);
  EXPECT_EQ(std::string(head.begin(), head.begin() + 16),
            std::string("RF64\xFF\xFF\xFF\xFFWAVEds64"));
  const int64_t dataSize = kData + HKZStream::CopyBufferSize - kData % HKZStream::CopyBufferSize;
  EXPECT_EQ(LE(head, 20, 8), static_cast<uint64_t>(dataSize + 82 - 8));  // RIFF size
  EXPECT_EQ(LE(head, 28, 8), static_cast<uint64_t>(dataSize));
  EXPECT_EQ(LE(head, 36, 8), static_cast<uint64_t>(dataSize / 4));  // frames
  EXPECT_EQ(std::string(head.begin() + 74, head.begin() + 82), std::string("data\xFF\xFF\xFF\xFF"));

  // We read it back, to its last bytes.
  auto read = TKZMMIOWaveStream::OpenReadFile(name);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->Report().DataSize, dataSize);
  ASSERT_TRUE(read->Seek(SeekFromEnd(-4)));
  uint8_t last[8] = {};
  EXPECT_EQ(read->Read(Area(reinterpret_cast<uintptr_t>(last), 8)), 4);
  EXPECT_EQ(last[3], 0x40);

  REQUIRE_PEER("ffprobe");
  const std::string file = ShellQuote(name);
  EXPECT_EQ(RunPeer("ffprobe -v error -show_entries stream=codec_name,duration_ts -of "
                    "default=nw=1 " +
                    file),
            "codec_name=pcm_s16le\nduration_ts=" + std::to_string(dataSize / 4) + "\n");
  // sox reads it too (its frame count was right), but walks all 4 GiB to do so: a minute.
  // The last block as ffmpeg decodes it.
  EXPECT_EQ(
      RunPeer("ffmpeg -v error -ss 22370 -i " + file + " -f s16le - | tail -c 4 | od -An -tx1"),
      " 40 40 40 40\n");
}

}  // namespace
