#include "wave/UKZMMIO.h"

#include <gtest/gtest.h>

#include "tests/support/MemoryStream.h"

namespace {

TEST(TKZMMIO, SeekOriginsAndClosing) {
  int calls = 0;
  TMemoryStream memory(PseudoRandomBytes(10, 1));
  memory.OnCall = [&calls](const std::string&) { ++calls; };
  auto file = TKZMMIO::OpenOnStream(memory, {omRead});
  EXPECT_THROW(file->Seek(TKZSeek{0, static_cast<TKZSeekOrigin>(3)}), Exception);
  EXPECT_EQ(calls, 0);  // neither opening nor the refused seek reached the stream
  { TKZMMIOStream borrowed(*file); }
  uint8_t buffer[4];
  EXPECT_EQ(file->Read(AreaOf(buffer, 4)), 4);  // still open
  TKZMMIOStream owner(std::move(file));
  owner.Close();
  EXPECT_EQ(memory.Read(AreaOf(buffer, 1)), 1);  // the stream outlives its file

  MMIOINFO info{};  // a file that fails to close, like a disk that lost the last write
  info.pIOProc = [](MMIOINFO*, uint32_t AMessage, LPARAM, LPARAM) -> LRESULT {
    return AMessage == MMIOM_CLOSE ? MMIOERR_CANNOTCLOSE : 0;
  };
  TKZMMIO reported(mmioOpenA(nullptr, &info, MMIO_READ));
  EXPECT_THROW(reported.Close(), Exception);
  reported.Close();  // released anyway: nothing more
  TKZMMIO swallowed(mmioOpenA(nullptr, &info, MMIO_READ));
}

TEST(TKZMMIOIOProc, ServesMessagesFromTheStream) {
  TMemoryStream memory(PseudoRandomBytes(10, 1));
  auto proc = std::make_unique<TKZMMIOIOProc>(memory);
  MMIOINFO info{};
  info.adwInfo[0] = reinterpret_cast<uintptr_t>(proc.get());
  uint8_t buffer[16];
  const auto buf = reinterpret_cast<LPARAM>(buffer);
  auto send = [&info](uint32_t AMessage, LPARAM A, LPARAM B) {
    return TKZMMIOIOProc::IOProc(&info, AMessage, A, B);
  };
  EXPECT_EQ(send(MMIOM_OPEN, 0, 0) + info.lDiskOffset, 0);
  EXPECT_EQ(send(MMIOM_SEEK, 4, SEEK_SET), 4);
  EXPECT_EQ(send(MMIOM_SEEK, 2, SEEK_CUR), 6);
  EXPECT_EQ(send(MMIOM_READ, buf, 16), 4);
  EXPECT_EQ(send(MMIOM_READ, buf, 16) + send(6, 0, 0) + send(MMIOM_SEEK, 1, 3), 0);
  EXPECT_EQ(info.lDiskOffset, 10);
  EXPECT_EQ(send(MMIOM_SEEK, -3, SEEK_END), 7);
  EXPECT_EQ(send(MMIOM_WRITEFLUSH, buf, 5), 5);
  EXPECT_EQ(info.lDiskOffset, 12);
  memory.FailReads = true;
  EXPECT_EQ(send(MMIOM_READ, buf, 1) + send(MMIOM_SEEK, 100, SEEK_SET), -2);
  EXPECT_EQ(info.lDiskOffset, 12);
  EXPECT_EQ(send(MMIOM_CLOSE, 0, 0), 0);
  proc.release();  // freed itself
  EXPECT_EQ(info.adwInfo[0] + send(MMIOM_READ, buf, 1), 0u);

  auto file = TKZMMIO::OpenOnStream(memory, {omRead});
  EXPECT_THROW(file->Read(AreaOf(buffer, 1)), Exception);  // the stream's failure
  TKZStream blind;                                         // cannot tell where its end is
  EXPECT_THROW(TKZMMIO::OpenOnStream(blind, {omRead})->Seek(SeekFromEnd(0)), Exception);
}

}  // namespace
