#include "platform/mmio/Mmio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <string>

#include "tests/support/Peers.h"

namespace {

TEST(Mmio, DescendsOnlyWithinTheParent) {
  TTempDir dir;
  const std::string name = dir.File("a.riff");
  // RIFF TEST holding "odd " (3 bytes and a pad), LIST INFO, "even".
  std::ofstream(name, std::ios::binary)
      << std::string("RIFF\x28\0\0\0TESTodd \3\0\0\0abc\0LIST\4\0\0\0INFOeven\4\0\0\0wxyz", 48);
  HMMIO file = mmioOpenA(name.c_str(), nullptr, MMIO_READ);
  MMCKINFO riff{0, 0, mmioStringToFOURCCA("TEST", 0), 0, 0}, list = riff, even = riff;
  ASSERT_EQ(mmioDescend(file, &riff, nullptr, MMIO_FINDRIFF), 0u);
  list.fccType = mmioStringToFOURCCA("info", MMIO_TOUPPER);
  ASSERT_EQ(mmioDescend(file, &list, &riff, MMIO_FINDLIST), 0u);  // past a pad byte
  EXPECT_EQ(list.dwDataOffset + riff.cksize, 32u + 40);
  even.ckid = mmioStringToFOURCCA("even", 0);
  riff.cksize = 30;  // the parent now ends inside "even"'s header
  EXPECT_EQ(mmioDescend(file, &even, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
  EXPECT_EQ(mmioClose(file, 0), 0u);
  EXPECT_EQ(mmioOpenA(name.c_str(), nullptr, MMIO_WRITE | MMIO_READWRITE), nullptr);
  EXPECT_EQ(mmioOpenA(dir.Path().c_str(), nullptr, MMIO_READ), nullptr);  // a folder
}

// Accepts every offset and byte, and fails to close.
LRESULT Bottomless(MMIOINFO* AInfo, uint32_t AMessage, LPARAM AParam1, LPARAM AParam2) {
  if (AMessage == MMIOM_SEEK) return AInfo->lDiskOffset = AParam1;
  if (AMessage == MMIOM_READ || AMessage == MMIOM_WRITE) return AParam2;
  return AMessage == MMIOM_CLOSE ? MMIOERR_CANNOTCLOSE : 0;
}

TEST(Mmio, OffsetsPass4GiB) {
  constexpr int64_t k5GiB = int64_t{5} << 30;
  MMIOINFO info{};
  info.pIOProc = &Bottomless;
  HMMIO file = mmioOpenA(nullptr, &info, MMIO_READWRITE);
  char bytes[4] = {};
  ASSERT_EQ(mmioSeek(file, k5GiB, SEEK_SET), k5GiB);
  EXPECT_EQ(mmioWrite(file, bytes, 4), 4);
  EXPECT_EQ(mmioClose(file, 0), MMIOERR_CANNOTCLOSE);

  // A sparse file past 4 GiB: its chunks are found and left at 64-bit offsets.
  TTempDir dir;
  const std::string name = dir.File("big.riff");
  file = mmioOpenA(name.c_str(), nullptr, MMIO_WRITE | MMIO_CREATE);
  MMCKINFO riff{0, 0, mmioStringToFOURCCA("WAVE", 0), 0, 0};
  ASSERT_EQ(mmioCreateChunk(file, &riff, MMIO_CREATERIFF), 0u);
  MMCKINFO data{mmioStringToFOURCCA("data", 0), 0, 0, 0, 0};
  ASSERT_EQ(mmioCreateChunk(file, &data, 0), 0u);
  ASSERT_EQ(mmioSeek(file, k5GiB, SEEK_SET), k5GiB);
  ASSERT_EQ(mmioWrite(file, bytes, 1), 1);
  EXPECT_EQ(mmioAscend(file, &data, 0), 0u);
  EXPECT_EQ(data.cksize, 0xFFFFFFFFu);  // the RF64 mark
  EXPECT_EQ(mmioSeek(file, 0, SEEK_END), k5GiB + 2);
  EXPECT_EQ(mmioClose(file, 0), 0u);
  file = mmioOpenA(name.c_str(), nullptr, MMIO_READ);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(mmioSeek(file, -1, SEEK_END), k5GiB + 1);
  EXPECT_EQ(mmioRead(file, bytes, 4), 1);
  EXPECT_EQ(mmioClose(file, 0), 0u);
}

// Chunks of no data, "abcd", without end; counts the reads asked of it.
int EndlessReads = 0;
LRESULT EndlessChunks(MMIOINFO* AInfo, uint32_t AMessage, LPARAM AParam1, LPARAM AParam2) {
  if (AMessage == MMIOM_SEEK) return AInfo->lDiskOffset = AParam1;
  if (AMessage != MMIOM_READ) return 0;
  ++EndlessReads;
  for (LPARAM i = 0; i < AParam2; ++i)
    reinterpret_cast<char*>(AParam1)[i] = "abcd\0\0\0\0"[(AInfo->lDiskOffset + i) % 8];
  AInfo->lDiskOffset += AParam2;
  return AParam2;
}

TEST(Mmio, SearchesThroughABufferAndGivesUp) {
  MMIOINFO info{};
  info.pIOProc = &EndlessChunks;
  HMMIO file = mmioOpenA(nullptr, &info, MMIO_READ);
  MMCKINFO wanted{mmioStringToFOURCCA("fmt ", 0), 0, 0, 0, 0};
  EXPECT_EQ(mmioDescend(file, &wanted, nullptr, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
  EXPECT_LT(EndlessReads, 100);
  mmioClose(file, 0);
}

TEST(Mmio, OpensADescriptorAndKeepsWhyAFileFailed) {
  TTempDir dir;
  // A FIFO without a writer is refused at once, not waited for.
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(mmioOpenA(fifo.c_str(), nullptr, MMIO_READ), nullptr);

  const std::string name = dir.File("a.riff");
  std::ofstream(name) << "RIFF";
  const int descriptor = open(name.c_str(), O_RDONLY);
  MMIOINFO info{};
  info.fccIOProc = FOURCC_DOS;
  info.adwInfo[0] = static_cast<uintptr_t>(descriptor);
  HMMIO file = mmioOpenA(nullptr, &info, MMIO_READ);
  ASSERT_NE(file, nullptr);
  char bytes[4];
  EXPECT_EQ(mmioRead(file, bytes, 4), 4);
  EXPECT_EQ(mmioWrite(file, bytes, 1), -1);  // a descriptor for reading only
  EXPECT_EQ(mmioRefuse(file, MMIO_REFUSED_TOOLARGE), 0u);
  EXPECT_EQ(mmioRefuse(file, MMIO_REFUSED_NOTRIFF), 0u);
  int error = 0;
  uint32_t refusal = 0;
  EXPECT_EQ(mmioGetFailure(file, &error, &refusal), 0u);
  EXPECT_EQ(error, EBADF);  // the first failure is kept, the later ones not
  EXPECT_EQ(refusal, MMIO_REFUSED_TOOLARGE);
  EXPECT_EQ(mmioClose(file, MMIO_FHOPEN), 0u);
  EXPECT_EQ(close(descriptor), 0);  // still open: it stayed the caller's
}

}  // namespace
