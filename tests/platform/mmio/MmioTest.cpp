#include "platform/mmio/Mmio.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/Peers.h"

namespace {

std::string Slurp(const std::string& AFile) {
  std::ifstream in(AFile, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

MMCKINFO Chunk(const char* AId, const char* AType = "\0\0\0") {
  return MMCKINFO{mmioStringToFOURCCA(AId, 0), 0, mmioStringToFOURCCA(AType, 0), 0, 0};
}

TEST(Mmio, ChunksWrittenAndFoundOnDisk) {
  TTempDir dir;
  const std::string name = dir.File("a.riff");
  HMMIO file = mmioOpenA(name.c_str(), nullptr, MMIO_READWRITE | MMIO_CREATE);
  ASSERT_NE(file, nullptr);
  MMCKINFO riff = Chunk("", "TEST"), odd = Chunk("odd "), list = Chunk("", "INFO"),
           even = Chunk("even");
  ASSERT_EQ(mmioCreateChunk(file, &riff, MMIO_CREATERIFF), 0u);
  ASSERT_EQ(mmioCreateChunk(file, &odd, 0), 0u);
  EXPECT_EQ(mmioWrite(file, "abc", 3), 3);
  ASSERT_EQ(mmioAscend(file, &odd, 0), 0u);  // size 3, then a pad byte
  ASSERT_EQ(mmioCreateChunk(file, &list, MMIO_CREATELIST), 0u);
  ASSERT_EQ(mmioAscend(file, &list, 0), 0u);
  ASSERT_EQ(mmioCreateChunk(file, &even, 0), 0u);
  EXPECT_EQ(mmioWrite(file, "wxyz", 4), 4);
  ASSERT_EQ(mmioAscend(file, &even, 0), 0u);
  ASSERT_EQ(mmioAscend(file, &riff, 0), 0u);
  EXPECT_EQ(mmioClose(file, 0), 0u);
  EXPECT_EQ(Slurp(name), std::string("RIFF\x28\0\0\0TESTodd \3\0\0\0abc\0LIST\4\0\0\0INFO"
                                     "even\4\0\0\0wxyz",
                                     48));

  file = mmioOpenA(name.c_str(), nullptr, MMIO_READ);
  MMCKINFO found = Chunk("", "TEST"), inner = Chunk("even");
  ASSERT_EQ(mmioDescend(file, &found, nullptr, MMIO_FINDRIFF), 0u);
  EXPECT_EQ(found.cksize, 40u);
  EXPECT_EQ(mmioSeek(file, 0, SEEK_CUR), 12);
  ASSERT_EQ(mmioDescend(file, &inner, &found, MMIO_FINDCHUNK), 0u);  // past a pad and a LIST
  EXPECT_EQ(inner.dwDataOffset, 44u);
  char bytes[8];
  EXPECT_EQ(mmioRead(file, bytes, 8), 4);
  ASSERT_EQ(mmioSeek(file, 12, SEEK_SET), 12);
  MMCKINFO info = Chunk("", "INFO");
  ASSERT_EQ(mmioDescend(file, &info, &found, MMIO_FINDLIST), 0u);
  EXPECT_EQ(info.dwDataOffset, 32u);
  found.cksize = 30;  // the parent now ends before "even"
  ASSERT_EQ(mmioSeek(file, 12, SEEK_SET), 12);
  EXPECT_EQ(mmioDescend(file, &inner, &found, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
  EXPECT_EQ(mmioClose(file, 0), 0u);

  EXPECT_EQ(mmioStringToFOURCCA("ab", MMIO_TOUPPER), mmioFOURCC('A', 'B', ' ', ' '));
  EXPECT_EQ(mmioOpenA(name.c_str(), nullptr, MMIO_WRITE | MMIO_READWRITE), nullptr);
  EXPECT_EQ(mmioOpenA(dir.Path().c_str(), nullptr, MMIO_READ), nullptr);  // a folder
  MMIOINFO none{};
  EXPECT_EQ(mmioOpenA(nullptr, &none, MMIO_READ), nullptr);
  EXPECT_NE(none.wErrorRet, 0u);
}

// Accepts every offset and byte, and fails to close.
LRESULT Bottomless(MMIOINFO* AInfo, uint32_t AMessage, LPARAM AParam1, LPARAM AParam2) {
  switch (AMessage) {
    case MMIOM_SEEK:
      return AInfo->lDiskOffset = static_cast<int32_t>(AParam1);
    case MMIOM_READ:
    case MMIOM_WRITE:
      AInfo->lDiskOffset += static_cast<int32_t>(AParam2);
      return AParam2;
    case MMIOM_CLOSE:
      return MMIOERR_CANNOTCLOSE;
    default:
      return 0;
  }
}

TEST(Mmio, OffsetsNeverPass2GiB) {
  MMIOINFO info{};
  info.pIOProc = &Bottomless;
  HMMIO file = mmioOpenA(nullptr, &info, MMIO_READWRITE);
  ASSERT_NE(file, nullptr);
  char bytes[4] = {};
  ASSERT_EQ(mmioSeek(file, INT_MAX - 2, SEEK_SET), INT_MAX - 2);
  EXPECT_EQ(mmioWrite(file, bytes, 4), -1);
  EXPECT_EQ(mmioRead(file, bytes, 4), 2);  // cut at the last offset
  MMCKINFO chunk = Chunk("data");
  EXPECT_NE(mmioCreateChunk(file, &chunk, 0), 0u);
  EXPECT_EQ(mmioClose(file, 0), MMIOERR_CANNOTCLOSE);

  TTempDir dir;
  const std::string name = dir.File("big.wav");
  HMMIO big = mmioOpenA(name.c_str(), nullptr, MMIO_WRITE | MMIO_CREATE);
  ASSERT_EQ(mmioSeek(big, INT_MAX - 1, SEEK_SET), INT_MAX - 1);
  EXPECT_EQ(mmioWrite(big, bytes, 2), -1);
  EXPECT_EQ(mmioWrite(big, bytes, 1), 1);  // a sparse file of exactly 2 GiB - 1 bytes
  EXPECT_EQ(mmioClose(big, 0), 0u);
  big = mmioOpenA(name.c_str(), nullptr, MMIO_READ);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(mmioSeek(big, 1, SEEK_END), -1);
  EXPECT_EQ(mmioClose(big, 0), 0u);
  ASSERT_EQ(truncate(name.c_str(), off_t{INT_MAX} + 1), 0);
  EXPECT_EQ(mmioOpenA(name.c_str(), nullptr, MMIO_READ), nullptr);
}

}  // namespace
