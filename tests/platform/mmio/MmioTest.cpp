#include "platform/mmio/Mmio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

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

// A sparse file past 4 GiB: its chunks are found and left at 64-bit offsets.
TEST(Mmio, OffsetsPass4GiB) {
  constexpr int64_t k5GiB = int64_t{5} << 30;
  char bytes[4] = {};
  TTempDir dir;
  const std::string name = dir.File("big.riff");
  HMMIO file = mmioOpenA(name.c_str(), nullptr, MMIO_WRITE | MMIO_CREATE);
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

// A script of transfers on one file; what it observes (counts, offsets, bytes, results) goes
// into the log, which must not depend on the file's buffer.
struct TScript {
  const char* Name;
  uint32_t Flags;
  std::function<void(HMMIO, std::string&)> Run;
};

std::string Pattern(int32_t ASize, int32_t ASeed) {
  std::string bytes(static_cast<size_t>(ASize), '\0');
  for (int32_t i = 0; i < ASize; ++i)
    bytes[static_cast<size_t>(i)] = static_cast<char>((i * 131 + ASeed) % 251);
  return bytes;
}

void Note(std::string& ALog, int64_t AValue) {
  ALog += std::to_string(AValue) + ' ';
}

void ReadNote(HMMIO AFile, int32_t ACount, std::string& ALog) {
  std::string bytes(static_cast<size_t>(ACount), '\0');
  const int32_t n = mmioRead(AFile, bytes.data(), ACount);
  Note(ALog, n);
  if (n > 0) ALog += bytes.substr(0, static_cast<size_t>(n)) + '|';
}

void WriteNote(HMMIO AFile, const std::string& ABytes, std::string& ALog) {
  Note(ALog, mmioWrite(AFile, ABytes.data(), static_cast<int32_t>(ABytes.size())));
}

// RIFF TEST: "fmt " of 19 bytes (and a pad), LIST INFO of 8, "data" of 300.
void WriteForm(HMMIO AFile, std::string& ALog) {
  MMCKINFO riff{0, 0, mmioStringToFOURCCA("TEST", 0), 0, 0};
  Note(ALog, mmioCreateChunk(AFile, &riff, MMIO_CREATERIFF));
  MMCKINFO fmt{mmioStringToFOURCCA("fmt ", 0), 0, 0, 0, 0}, list = fmt, data = fmt;
  Note(ALog, mmioCreateChunk(AFile, &fmt, 0));
  WriteNote(AFile, Pattern(19, 1), ALog);
  Note(ALog, mmioAscend(AFile, &fmt, 0));
  list.fccType = mmioStringToFOURCCA("INFO", 0);
  Note(ALog, mmioCreateChunk(AFile, &list, MMIO_CREATELIST));
  WriteNote(AFile, Pattern(8, 2), ALog);
  Note(ALog, mmioAscend(AFile, &list, 0));
  data.ckid = mmioStringToFOURCCA("data", 0);
  Note(ALog, mmioCreateChunk(AFile, &data, 0));
  for (int32_t size : {1, 3, 40, 7, 100, 149})
    WriteNote(AFile, Pattern(size, size), ALog);
  Note(ALog, mmioAscend(AFile, &data, 0));
  Note(ALog, mmioAscend(AFile, &riff, 0));
  Note(ALog, mmioSeek(AFile, 0, SEEK_CUR));
}

const std::vector<TScript>& Scripts() {
  static const std::vector<TScript> scripts = {
      {"writes a form, its sizes patched on ascend", MMIO_WRITE | MMIO_CREATE, &WriteForm},
      {"walks the chunks and reads across boundaries", MMIO_READ,
       [](HMMIO AFile, std::string& ALog) {
         MMCKINFO riff{0, 0, mmioStringToFOURCCA("TEST", 0), 0, 0};
         Note(ALog, mmioDescend(AFile, &riff, nullptr, MMIO_FINDRIFF));
         MMCKINFO list{0, 0, mmioStringToFOURCCA("INFO", 0), 0, 0};
         Note(ALog, mmioDescend(AFile, &list, &riff, MMIO_FINDLIST));
         ReadNote(AFile, 5, ALog);
         Note(ALog, mmioAscend(AFile, &list, 0));
         MMCKINFO data{mmioStringToFOURCCA("data", 0), 0, 0, 0, 0};
         Note(ALog, mmioDescend(AFile, &data, &riff, MMIO_FINDCHUNK));
         Note(ALog, static_cast<int64_t>(data.dwDataOffset + data.cksize));
         for (int32_t size : {2, 13, 1, 64, 17, 90})
           ReadNote(AFile, size, ALog);
         Note(ALog, mmioSeek(AFile, -40, SEEK_CUR));
         ReadNote(AFile, 9, ALog);
         Note(ALog, mmioSeek(AFile, 12, SEEK_SET));
         MMCKINFO none{mmioStringToFOURCCA("none", 0), 0, 0, 0, 0};
         Note(ALog, mmioDescend(AFile, &none, &riff, MMIO_FINDCHUNK));
         Note(ALog, mmioSeek(AFile, -7, SEEK_END));
         ReadNote(AFile, 50, ALog);
         ReadNote(AFile, 50, ALog);
       }},
      {"mixes reads, overwrites and seeks", MMIO_READWRITE,
       [](HMMIO AFile, std::string& ALog) {
         ReadNote(AFile, 10, ALog);
         WriteNote(AFile, "overwritten", ALog);
         ReadNote(AFile, 23, ALog);
         Note(ALog, mmioSeek(AFile, -30, SEEK_CUR));
         ReadNote(AFile, 40, ALog);
         Note(ALog, mmioSeek(AFile, 0, SEEK_END));
         WriteNote(AFile, Pattern(70, 9), ALog);
         Note(ALog, mmioSeek(AFile, 100, SEEK_SET));
         WriteNote(AFile, "middle", ALog);
         Note(ALog, mmioSeek(AFile, 95, SEEK_SET));
         ReadNote(AFile, 20, ALog);
         Note(ALog, mmioSeek(AFile, -5, SEEK_END));
         ReadNote(AFile, 20, ALog);
       }},
      {"moves transfers larger than the buffer", MMIO_READWRITE,
       [](HMMIO AFile, std::string& ALog) {
         WriteNote(AFile, Pattern(5, 3), ALog);
         WriteNote(AFile, Pattern(200, 4), ALog);
         WriteNote(AFile, Pattern(33, 5), ALog);
         Note(ALog, mmioSeek(AFile, 1, SEEK_SET));
         ReadNote(AFile, 230, ALog);
         Note(ALog, mmioFlush(AFile, 0));
         ReadNote(AFile, 30, ALog);
       }},
  };
  return scripts;
}

TEST(Mmio, BufferedTransfersMatchUnbufferedOnes) {
  TTempDir dir;
  // The file the readers start from: a form as an unbuffered writer wrote it.
  const std::string form = dir.File("form.riff");
  {
    std::string ignored;
    HMMIO file = mmioOpenA(form.c_str(), nullptr, MMIO_WRITE | MMIO_CREATE);
    ASSERT_NE(file, nullptr);
    WriteForm(file, ignored);
    ASSERT_EQ(mmioClose(file, 0), 0u);
  }
  const std::vector<uint8_t> start = ReadFileBytes(form);
  ASSERT_EQ(start.size(), 12u + 28 + 20 + 308);
  for (const TScript& script : Scripts()) {
    std::string expected_log;
    std::vector<uint8_t> expected_bytes;
    // Without a buffer first; then buffers that a transfer, a header or a chunk straddles.
    for (int32_t size : {0, 1, 3, 8, 16, 61, 4096}) {
      SCOPED_TRACE(std::string(script.Name) + ", buffer " + std::to_string(size));
      const std::string name = dir.File("file" + std::to_string(size));
      WriteFileBytes(name, start);
      MMIOINFO info{};
      info.cchBuffer = size;
      // One size in a buffer of the caller's.
      std::vector<char> callers(static_cast<size_t>(size));
      if (size == 61) info.pchBuffer = callers.data();
      HMMIO file = mmioOpenA(name.c_str(), &info, script.Flags | (size ? MMIO_ALLOCBUF : 0));
      ASSERT_NE(file, nullptr);
      std::string log;
      script.Run(file, log);
      EXPECT_EQ(mmioClose(file, 0), 0u);
      if (size == 0) {
        expected_log = log;
        expected_bytes = ReadFileBytes(name);
        continue;
      }
      EXPECT_EQ(log, expected_log);
      EXPECT_EQ(ReadFileBytes(name), expected_bytes);
    }
  }
}

TEST(Mmio, AFailedFlushIsReportedAtClose) {
  struct TCase {
    rlim_t Limit;     // the most bytes the file may hold
    int32_t Bytes;    // written through a 4,096-byte buffer, 1,000 bytes a call
    bool FlushFirst;  // handed over by mmioFlush before the close, or only by it
  };
  TTempDir dir;
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);
  for (const TCase& c : {TCase{100, 1000, false}, TCase{100, 3000, true}, TCase{0, 10, false},
                         TCase{5000, 9000, false}}) {
    SCOPED_TRACE("limit " + std::to_string(c.Limit) + ", bytes " + std::to_string(c.Bytes));
    const std::string name = dir.File("full");
    MMIOINFO info{};
    info.cchBuffer = 4096;
    HMMIO file = mmioOpenA(name.c_str(), &info, MMIO_WRITE | MMIO_CREATE | MMIO_ALLOCBUF);
    ASSERT_NE(file, nullptr);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = c.Limit;
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string bytes = Pattern(c.Bytes, 7);
    // What the buffer takes counts as written until it is handed over.
    bool taken = true;
    for (int32_t at = 0; at < c.Bytes; at += 1000) {
      const int32_t count = std::min(1000, c.Bytes - at);
      taken = mmioWrite(file, bytes.data() + at, count) == count && taken;
    }
    const MMRESULT flushed = c.FlushFirst ? mmioFlush(file, 0) : 0;
    // The system's reason is kept from the first failed hand-over, for a person to be told.
    int error = 0;
    mmioGetFailure(file, &error, nullptr);
    const MMRESULT closed = mmioClose(file, 0);
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(taken, c.Bytes < 4096);
    EXPECT_EQ(flushed, c.FlushFirst ? MMIOERR_CANNOTWRITE : 0u);
    EXPECT_EQ(error, c.FlushFirst || !taken ? EFBIG : 0);
    EXPECT_EQ(closed, MMIOERR_CANNOTWRITE);
  }
  sigaction(SIGXFSZ, &previous, nullptr);
}

}  // namespace
