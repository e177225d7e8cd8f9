#include "wave/UKZMMIO.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/MemoryStream.h"

namespace {

FOURCC Code(const char* AText) {
  return TKZMMIO::StringToFOURCC(AText);
}

TEST(TKZMMIO, ModesSeeksAndChunks) {
  EXPECT_EQ(TKZMMIO::ModeFlags({}) + TKZMMIO::ModeFlags({omRead}), 0u);
  EXPECT_EQ(TKZMMIO::ModeFlags({omWrite}), 0x1001u);
  EXPECT_EQ(TKZMMIO::ModeFlags({omReadWrite}), 0x0002u);
  EXPECT_EQ(TKZMMIO::ModeFlags({omRead, omWrite}), 0x1001u);

  TMemoryStream memory;
  int calls = 0;
  memory.OnCall = [&calls](const std::string&) { ++calls; };
  auto file = TKZMMIO::OpenOnStream(memory, {omWrite});
  EXPECT_THROW(file->Seek(TKZSeek{0, static_cast<TKZSeekOrigin>(3)}), Exception);
  EXPECT_EQ(calls, 0);
  auto riff = file->CreateRiff(Code("WAVE"));
  auto first = file->CreateChunk(*riff, Code("one "));
  EXPECT_EQ(memory.Data.size(), 20u);  // a plain chunk header has no form type
  EXPECT_TRUE(file->Ascend(std::move(first)));
  EXPECT_TRUE(file->Ascend(file->CreateChunk(*riff, Code("two "))));
  EXPECT_TRUE(file->Ascend(std::move(riff)));
  auto bad = file->CreateChunk(TKZRiffChunk(0, Code("WAVE")), Code("bad "));
  EXPECT_EQ(file->Write(AreaOf("ab", 2)), 2);
  memory.FailSeeks = true;
  EXPECT_FALSE(file->Ascend(std::move(bad)));  // its size cannot be put in

  memory.FailSeeks = false;
  ASSERT_EQ(file->Seek(SeekFromBegin(0)), 0);
  riff = file->DescendRiff(Code("WAVE"));
  ASSERT_TRUE(riff);
  EXPECT_EQ(file->Descend(*riff, Code("six ")), nullptr);
  EXPECT_EQ(file->Seek(SeekFromCurrent(0)), 12);  // where the failed search started
  auto second = file->Descend(*riff, Code("two "));
  ASSERT_TRUE(second);
  EXPECT_EQ(second->GetDataArea().Start, 28u);
  EXPECT_TRUE(file->Ascend(std::move(second)));
  EXPECT_EQ(file->Descend(*riff, Code("one ")), nullptr);  // lies behind
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
  EXPECT_EQ(send(MMIOM_READ, buf, 16) + send(6, 0, 0) + send(99, 0, 0), 0);
  EXPECT_EQ(send(MMIOM_SEEK, 1, 3), 0);
  EXPECT_EQ(info.lDiskOffset, 10);
  EXPECT_EQ(send(MMIOM_SEEK, -3, SEEK_END), 7);
  EXPECT_EQ(send(MMIOM_WRITEFLUSH, buf, 5), 5);
  EXPECT_EQ(info.lDiskOffset, 12);
  memory.FailReads = true;
  EXPECT_EQ(send(MMIOM_READ, buf, 1), -1);
  EXPECT_EQ(send(MMIOM_SEEK, 100, SEEK_SET), -1);
  EXPECT_EQ(info.lDiskOffset, 12);
  EXPECT_EQ(send(MMIOM_CLOSE, 0, 0), 0);
  proc.release();  // freed itself
  EXPECT_EQ(info.adwInfo[0], 0u);
  EXPECT_EQ(send(MMIOM_READ, buf, 1), 0);

  auto file = TKZMMIO::OpenOnStream(memory, {omRead});
  EXPECT_THROW(file->Read(AreaOf(buffer, 1)), Exception);
  memory.FailReads = false;
  TKZStream blind;  // cannot tell where its end is
  auto onBlind = TKZMMIO::OpenOnStream(blind, {omRead});
  EXPECT_THROW(onBlind->Seek(SeekFromEnd(0)), Exception);
  { TKZMMIOStream borrowed(*file); }
  file->Seek(SeekFromBegin(0));
  EXPECT_EQ(file->Read(AreaOf(buffer, 4)), 4);  // still open
  TKZMMIOStream owner(std::move(file));
  owner.Close();
  EXPECT_EQ(memory.Read(AreaOf(buffer, 1)), 1);  // the stream outlives its file
}

// Fails to close, like a disk that lost the last write.
LRESULT Unclosable(MMIOINFO*, uint32_t AMessage, LPARAM, LPARAM) {
  return AMessage == MMIOM_CLOSE ? MMIOERR_CANNOTCLOSE : 0;
}

TEST(TKZMMIO, CloseReportsWhatTheDestructorSwallows) {
  MMIOINFO info{};
  info.pIOProc = &Unclosable;
  TKZMMIO reported(mmioOpenA(nullptr, &info, MMIO_READ));
  EXPECT_THROW(reported.Close(), Exception);
  reported.Close();  // released anyway: nothing more
  TKZMMIO swallowed(mmioOpenA(nullptr, &info, MMIO_READ));
}

}  // namespace
