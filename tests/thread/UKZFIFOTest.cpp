#include "thread/UKZFIFO.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/rtl/Exception.h"
#include "tests/support/MemoryStream.h"

namespace {

TEST(TKZFIFO, CapacityWrapAndStreamPieces) {
  EXPECT_EQ(TKZFIFO(100).Capacity(), 1024);
  EXPECT_EQ(TKZFIFO(4096).Capacity(), 4096);
  TKZFIFO fifo(1024);
  const auto bytes = PseudoRandomBytes(1500, 1);
  std::vector<uint8_t> out(1500);
  EXPECT_EQ(fifo.Produce(AreaOf(bytes.data(), 1500)), 1024);
  EXPECT_EQ(fifo.Consume(AreaOf(out.data(), 1500)), 1024);
  EXPECT_EQ(fifo.Produce(AreaOf(bytes.data(), 1000)), 1000);
  EXPECT_EQ(fifo.Consume(AreaOf(out.data(), 1500)), 1000);
  EXPECT_EQ(fifo.Produce(AreaOf(bytes.data(), 100)), 100);
  TKZArea first, second;
  const TKZRing data = fifo.GetData();
  ASSERT_EQ(RingPieces(data, first, second), 2);
  EXPECT_EQ(first.Size * 1000 + second.Size, 24076);
  EXPECT_EQ(second.Start, data.Buffer.Start);
  try {
    fifo.Consume(AreaOf(out.data(), 0));
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "TKZFIFO.Consumed(0)");
  }
  std::thread([&] { fifo.GetData(); }).join();  // the raise did not keep the lock
  EXPECT_EQ(fifo.Consume(AreaOf(out.data(), 1500)), 100);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 100, bytes.begin()));

  // The free space now wraps: 24 bytes at the end, 1000 at the start.
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

TEST(TKZFIFO, SleepingSidesWakeOnTheOtherSideOrOnClose) {
  TKZFIFO fifo(1024);
  const auto bytes = PseudoRandomBytes(1024, 3);
  std::vector<uint8_t> out(2048);
  int32_t n = -1;
  std::thread consumer([&] { n = fifo.Consume(AreaOf(out.data(), 2048)); });
  EXPECT_EQ(fifo.Produce(AreaOf(bytes.data(), 1)), 1);
  consumer.join();
  EXPECT_EQ(n, 1);
  EXPECT_EQ(out[0], bytes[0]);

  EXPECT_EQ(fifo.Produce(AreaOf(bytes.data(), 1024)), 1024);
  std::thread producer([&] { n = fifo.Produce(AreaOf(bytes.data(), 1024)); });
  EXPECT_EQ(fifo.Consume(AreaOf(out.data(), 10)), 10);
  producer.join();
  EXPECT_EQ(n, 10);
  producer = std::thread([&] { n = fifo.Produce(AreaOf(bytes.data(), 10)); });
  fifo.Close();
  producer.join();
  EXPECT_EQ(n, 0);
  EXPECT_EQ(fifo.Consume(AreaOf(out.data(), 2048)) + fifo.Consume(AreaOf(out.data(), 2048)), 1024);
}

// Sanitised and unoptimised builds move an eighth of the stress volume.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
constexpr int64_t VolumeDivisor = 8;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr int64_t VolumeDivisor = 8;
#else
constexpr int64_t VolumeDivisor = 1;
#endif
#else
constexpr int64_t VolumeDivisor = 1;
#endif

// The stress sequence: pseudo-random bytes repeated with a prime period, stored with 2 MB to
// spare so that every run of up to 2 MB is one slice.
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

struct TRandom {
  uint32_t X;
  // 1 to AMax, often small.
  int32_t Size(int32_t AMax) {
    X ^= X << 13;
    X ^= X >> 17;
    X ^= X << 5;
    const auto range = static_cast<uint32_t>((X & 3) ? AMax : std::min(AMax, 16));
    return 1 + static_cast<int32_t>(X % range);
  }
};

// Reads the sequence up to a budget, or checks what is written against it, each call moving a
// random part of what it is offered.
class TPatternStream : public TKZStream {
 public:
  TPatternStream(int64_t ABudget, uint32_t ASeed) : Left(ABudget), Random{ASeed} {}
  int32_t Read(const TKZArea& AArea) override {
    const auto n = static_cast<int32_t>(std::min<int64_t>(Random.Size(AArea.Size), Left));
    std::memcpy(AreaBytes(AArea), PatternAt(Position), static_cast<size_t>(n));
    Position += n;
    Left -= n;
    return n;
  }
  int32_t Write(const TKZArea& AArea) override {
    const int32_t n = Random.Size(AArea.Size);
    Same = Same && std::memcmp(AreaBytes(AArea), PatternAt(Position), static_cast<size_t>(n)) == 0;
    Position += n;
    return n;
  }
  int64_t Left, Position = 0;
  TRandom Random;
  bool Same = true;
};

// One producer, one consumer, random transfer sizes, from memory or a stream into memory or a
// stream; every byte is checked in order.
TEST(TKZFIFO, StressMovesEveryByteInOrder) {
  struct Case {
    int32_t Capacity;
    int64_t Megabytes;
  };
  int mode = 0;
  for (const Case& c : {Case{1024, 32}, Case{4096, 64}, Case{65536, 192}, Case{1 << 20, 256}}) {
    for (int i = 0; i < 4; ++i, ++mode) {
      const int64_t volume = (c.Megabytes << 20) / 4 / VolumeDivisor;
      const int32_t most = 2 * c.Capacity;
      TKZFIFO fifo(c.Capacity);
      std::thread producer([&, mode] {
        TRandom random{static_cast<uint32_t>(mode + 1)};
        if (mode & 1) {
          TPatternStream source(volume, random.X);
          while (fifo.ProduceFromStream(source, random.Size(most)) > 0) {
          }
          return;
        }
        for (int64_t p = 0; p < volume;) {
          const auto n = static_cast<int32_t>(std::min<int64_t>(random.Size(most), volume - p));
          p += fifo.Produce(AreaOf(PatternAt(p), n));
        }
        fifo.Close();
      });
      TRandom random{static_cast<uint32_t>(mode + 100)};
      TPatternStream sink(0, random.X);
      std::vector<uint8_t> buffer(static_cast<size_t>(most));
      bool same = true;
      for (int32_t n = 1; n > 0;) {
        if (mode & 2) {
          n = fifo.ConsumeToStream(sink, random.Size(most));
        } else {
          n = fifo.Consume(AreaOf(buffer.data(), random.Size(most)));
          same = same && std::memcmp(buffer.data(), PatternAt(sink.Position), n) == 0;
          sink.Position += n;
        }
      }
      producer.join();
      EXPECT_EQ(sink.Position, volume) << c.Capacity << " mode " << mode;
      EXPECT_TRUE(same && sink.Same) << c.Capacity << " mode " << mode;
    }
  }
}

}  // namespace
