#include "thread/UKZThreadStream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/MemoryStream.h"
#include "tests/support/Raises.h"

namespace {

// Counts what its reads delivered, for another thread to look at; and carries a format.
struct TCountedStream : TMemoryStream {
  using TMemoryStream::TMemoryStream;
  int32_t Read(const TKZArea& AArea) override {
    const int32_t n = TMemoryStream::Read(AArea);
    Delivered += n;
    return n;
  }
  const TKZFormat* GetFormat() override { return &Format; }
  std::atomic<int64_t> Delivered = 0;
  TKZFormat Format;
};

TEST(TKZThreadStream, ReadsAheadAndWritesBehind) {
  TCountedStream tiny(PseudoRandomBytes(10, 1));
  std::vector<uint8_t> buffer(4096);
  auto reader = TKZThreadStream::CreateReader(tiny, 0);
  EXPECT_EQ(reader->GetFormat(), &tiny.Format);
  EXPECT_EQ(reader->Read(AreaOf(buffer.data(), 4096)), 10);
  EXPECT_EQ(reader->Read(AreaOf(buffer.data(), 4096)) + reader->Write(AreaOf(buffer.data(), 1)),
            -1);

  TMemoryStream source(PseudoRandomBytes(300000, 2)), copy, inner;
  source.ReadLimit = 777;
  reader = TKZThreadStream::CreateReader(source, 1024);
  EXPECT_TRUE(HKZStream::Copy(*reader, copy));
  auto writer = TKZThreadStream::CreateWriter(inner, 4096);
  copy.Position = 0;
  EXPECT_TRUE(HKZStream::Copy(copy, *writer));
  EXPECT_EQ(writer->Read(AreaOf(buffer.data(), 1)), -1);
  writer.reset();  // flushes
  EXPECT_EQ(inner.Data, source.Data);
}

TEST(TKZThreadStream, DestructionStopsTheThreadAndFlushes) {
  std::vector<std::string> calls;
  TMemoryStream idle;
  idle.OnCall = [&calls](const std::string& ACall) { calls.push_back(ACall); };
  TKZThreadStream::CreateWriter(idle, 4096).reset();
  EXPECT_TRUE(calls.empty());

  // A slow consumer: the thread never reads further ahead than the FIFO holds.
  TCountedStream source(PseudoRandomBytes(1 << 20, 3));
  auto reader = TKZThreadStream::CreateReader(source, 4096);
  uint8_t byte = 0;
  int64_t taken = 0, ahead = 0;
  for (; taken < 20000 && reader->Read(AreaOf(&byte, 1)) == 1 && byte == source.Data[taken];)
    ahead = std::max(ahead, source.Delivered - ++taken);
  EXPECT_EQ(taken, 20000);
  EXPECT_LE(ahead, 4096);
  // In the middle of the data: closing ends the thread even while it waits for room. The source
  // lives on.
  reader.reset();
  EXPECT_LE(source.Position, taken + 4096);
  EXPECT_EQ(source.Read(AreaOf(&byte, 1)), 1);
}

TEST(TKZThreadStream, FailuresOfTheInnerStreamReachTheForeground) {
  const auto bytes = PseudoRandomBytes(100000, 4);
  const auto throwAt = [](int ACall) {
    return [ACall, calls = 0](const std::string& AName) mutable {
      if (AName != "destroy" && ++calls == ACall) throw std::runtime_error("inner failed");
    };
  };
  TMemoryStream source(bytes), copy;
  source.FailReads = true;  // -1 from the inner stream is an ordinary end
  EXPECT_TRUE(HKZStream::Copy(*TKZThreadStream::CreateReader(source, 1024), copy));
  source.FailReads = false;
  source.ReadLimit = 1000;
  source.OnCall = throwAt(5);
  auto reader = TKZThreadStream::CreateReader(source, 8192);
  EXPECT_FALSE(HKZStream::Copy(*reader, copy));
  EXPECT_EQ(copy.Data.size(), 4000u);  // what was read before the failure, then -1

  for (int kind = 0; kind < 3; ++kind) {  // takes nothing at once, after 5000 bytes, or throws
    TMemoryStream inner, input(bytes);
    inner.WriteCapacity = kind == 0 ? 0 : kind == 1 ? 5000 : -1;
    if (kind == 2) inner.OnCall = throwAt(3);
    auto writer = TKZThreadStream::CreateWriter(inner, 1024);
    EXPECT_FALSE(HKZStream::Copy(input, *writer));
    EXPECT_EQ(writer->Write(AreaOf(bytes.data(), 1)), -1);
    EXPECT_EQ(RaisedMessage([&] { writer->Close(); }),
              kind == 2 ? "inner failed" : "TKZFIFO.Consumed(0)");
    writer->Close();  // reported once
  }
}

}  // namespace
