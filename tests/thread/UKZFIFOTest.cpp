#include "thread/UKZFIFO.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/support/MemoryStream.h"
#include "tests/support/Raises.h"

namespace {

TEST(TKZFIFO, CapacityWrapAndStreamPieces) {
  EXPECT_EQ(TKZFIFO(100).Capacity() + TKZFIFO(4096).Capacity(), 1024 + 4096);
  TKZFIFO fifo(1024);
  const auto bytes = PseudoRandomBytes(1500, 1);
  std::vector<uint8_t> out(1500);
  EXPECT_EQ(fifo.Produce(AreaOf(bytes.data(), 1500)), 1024);
  EXPECT_EQ(fifo.Consume(AreaOf(out.data(), 1500)), 1024);
  EXPECT_EQ(fifo.Produce(AreaOf(bytes.data(), 1000)), 1000);
  EXPECT_EQ(fifo.Consume(AreaOf(out.data(), 1500)), 1000);
  EXPECT_EQ(fifo.Produce(AreaOf(bytes.data(), 100)), 100);
  TKZArea first, second;
  ASSERT_EQ(RingPieces(fifo.GetData(), first, second), 2);
  EXPECT_EQ(first.Size * 1000 + second.Size, 24076);
  EXPECT_EQ(RaisedMessage([&] { fifo.Consume(AreaOf(out.data(), 0)); }), "TKZFIFO.Consumed(0)");
  std::thread([&] { fifo.GetData(); }).join();  // the raise did not keep the lock
  EXPECT_EQ(fifo.Consume(AreaOf(out.data(), 1500)), 100);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 100, bytes.begin()));

  // The free space wraps now: 24 bytes at the end, 1000 at the start.
  TMemoryStream source(PseudoRandomBytes(2000, 2)), sink;
  source.ReadLimit = 10;
  EXPECT_EQ(fifo.ProduceFromStream(source, 5000), 10);  // short: the second piece is not read
  EXPECT_EQ(source.Position, 10);
  source.ReadLimit = 0;
  EXPECT_EQ(fifo.ProduceFromStream(source, 500), 500);
  EXPECT_EQ(fifo.ConsumeToStream(sink, 5000), 510);
  EXPECT_TRUE(std::equal(sink.Data.begin(), sink.Data.end(), source.Data.begin()));
  source.FailReads = true;  // a failing source ends the data like its end
  EXPECT_EQ(fifo.ProduceFromStream(source, 5000) + fifo.Consume(AreaOf(out.data(), 1)), 0);
  EXPECT_EQ(fifo.Produce(AreaOf(bytes.data(), 10)), 10);  // closed, but room is still filled
  sink.WriteCapacity = 0;
  EXPECT_THROW(fifo.ConsumeToStream(sink, 5000), Exception);
  EXPECT_EQ(fifo.Consume(AreaOf(out.data(), 100)), 10);
  EXPECT_EQ(TKZFIFO(1024).Produce(EmptyArea()), 0);
}

#ifndef __has_feature
#define __has_feature(x) 0
#endif
// Sanitised and unoptimised builds move a quarter of the stress volume.
#if !defined(NDEBUG) || defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || \
    __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr int64_t VolumeDivisor = 4;
#else
constexpr int64_t VolumeDivisor = 1;
#endif

// Pseudo-random bytes repeated with a prime period, kept with 2 MB to spare so that every run
// of up to 2 MB is one slice.
constexpr int64_t Period = 1000003;
const uint8_t* PatternAt(int64_t APosition) {
  static const std::vector<uint8_t> pattern = [] {
    auto bytes = PseudoRandomBytes(Period + (2 << 20), 11);
    for (size_t i = Period; i < bytes.size(); ++i)
      bytes[i] = bytes[i - Period];
    return bytes;
  }();
  return pattern.data() + APosition % Period;
}

// Reads the pattern up to a budget, or checks what is written against it; each call moves a
// random part of what it is offered. Size gives random sizes from 1 to AMax, often small.
struct TPatternStream : TKZStream {
  TPatternStream(int64_t ABudget, uint32_t ASeed) : Left(ABudget), X(ASeed) {}
  int32_t Size(int32_t AMax) {
    X ^= X << 13;
    X ^= X >> 17;
    X ^= X << 5;
    const auto range = static_cast<uint32_t>((X & 3) ? AMax : std::min(AMax, 16));
    return 1 + static_cast<int32_t>(X % range);
  }
  int32_t Read(const TKZArea& AArea) override {
    const auto n = static_cast<int32_t>(std::min<int64_t>(Size(AArea.Size), Left));
    std::memcpy(AreaBytes(AArea), PatternAt(Position), static_cast<size_t>(n));
    Left -= n;
    Position += n;
    return n;
  }
  int32_t Write(const TKZArea& AArea) override {
    const int32_t n = Size(AArea.Size);
    Same = Same && std::memcmp(AreaBytes(AArea), PatternAt(Position), static_cast<size_t>(n)) == 0;
    Position += n;
    return n;
  }
  int64_t Left, Position = 0;
  uint32_t X;
  bool Same = true;
};

// One producer, one consumer, random transfer sizes, each transfer from memory or a stream into
// memory or a stream: every byte arrives, in order.
TEST(TKZFIFO, StressMovesEveryByteInOrder) {
  for (const int32_t capacity : {1024, 4096, 65536, 1 << 20}) {
    const int64_t volume = (capacity < 65536 ? 32 : 192) * (int64_t{1} << 20) / VolumeDivisor;
    TKZFIFO fifo(capacity);
    std::thread producer([&] {
      TPatternStream source(volume, capacity);
      for (int32_t n = 1; n > 0;) {
        const int32_t size = source.Size(2 * capacity);
        if (source.Size(2) == 1) {
          n = fifo.ProduceFromStream(source, size);
          continue;
        }
        n = fifo.Produce(AreaOf(PatternAt(source.Position), std::min<int64_t>(size, source.Left)));
        source.Position += n;
        source.Left -= n;
      }
    });
    TPatternStream sink(0, capacity + 1);
    std::vector<uint8_t> buffer(2 * static_cast<size_t>(capacity));
    for (int32_t n = 1; n > 0;) {
      const int32_t size = sink.Size(2 * capacity);
      if (sink.Size(2) == 1) {
        n = fifo.ConsumeToStream(sink, size);
        continue;
      }
      n = fifo.Consume(AreaOf(buffer.data(), size));
      sink.Same = sink.Same && std::memcmp(buffer.data(), PatternAt(sink.Position), n) == 0;
      sink.Position += n;
    }
    producer.join();
    EXPECT_EQ(sink.Position, volume) << capacity;
    EXPECT_TRUE(sink.Same) << capacity;
  }
}

}  // namespace
