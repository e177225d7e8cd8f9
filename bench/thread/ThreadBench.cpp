// Throughput of the FIFO between two threads, and of threaded streams read and written in the
// stream copy's 8192-byte steps. Wall time counts: the other side runs on its own thread.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "thread/UKZFIFO.h"
#include "thread/UKZThreadStream.h"

namespace {

constexpr int64_t Volume = int64_t{256} << 20;

// Moves bytes from a producing thread to this one, in transfers of the given size. A small FIFO
// hands over between two sleeping threads at every transfer, so it moves less.
void BM_FIFO(benchmark::State& state) {
  const auto capacity = static_cast<int32_t>(state.range(0));
  const auto step = static_cast<int32_t>(state.range(1));
  const int64_t volume = std::min<int64_t>(Volume, int64_t{capacity} << 14);
  std::vector<uint8_t> source(static_cast<size_t>(step), 0x5a), dest(static_cast<size_t>(step));
  for (auto _ : state) {
    TKZFIFO fifo(capacity);
    std::thread producer([&] {
      for (int64_t left = volume; left > 0;) {
        const auto size = static_cast<int32_t>(std::min<int64_t>(step, left));
        left -= fifo.Produce(AreaOf(source.data(), size));
      }
      fifo.Close();
    });
    int64_t received = 0;
    for (int32_t n; (n = fifo.Consume(AreaOf(dest.data(), step))) > 0;)
      received += n;
    producer.join();
    if (received != volume) state.SkipWithError("bytes lost");
    benchmark::DoNotOptimize(dest.data());
  }
  state.SetBytesProcessed(state.iterations() * volume);
}
BENCHMARK(BM_FIFO)
    ->Args({1024, 1024})
    ->Args({65536, 8192})
    ->Args({1 << 20, 65536})
    ->Args({1 << 20, 1 << 20})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Delivers a byte budget without touching the memory, and takes whatever is written.
class TNullStream : public TKZStream {
 public:
  explicit TNullStream(int64_t ABudget) : FLeft(ABudget) {}
  int32_t Read(const TKZArea& AArea) override {
    const auto n = static_cast<int32_t>(std::min<int64_t>(AArea.Size, FLeft));
    FLeft -= n;
    return n;
  }
  int32_t Write(const TKZArea& AArea) override { return AArea.Size; }

 private:
  int64_t FLeft;
};

// A reader of the given FIFO size, read in 8192-byte steps.
void BM_ThreadStreamRead(benchmark::State& state) {
  std::vector<uint8_t> buffer(8192);
  for (auto _ : state) {
    TNullStream inner(Volume);
    auto reader = TKZThreadStream::CreateReader(inner, static_cast<int32_t>(state.range(0)));
    while (reader->Read(AreaOf(buffer.data(), 8192)) > 0) {
    }
  }
  state.SetBytesProcessed(state.iterations() * Volume);
}
BENCHMARK(BM_ThreadStreamRead)
    ->Arg(65536)
    ->Arg(529200)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A writer of the given FIFO size, written in 8192-byte steps and closed.
void BM_ThreadStreamWrite(benchmark::State& state) {
  std::vector<uint8_t> buffer(8192, 0x5a);
  for (auto _ : state) {
    TNullStream inner(0);
    auto writer = TKZThreadStream::CreateWriter(inner, static_cast<int32_t>(state.range(0)));
    for (int64_t left = Volume; left > 0; left -= 8192)
      writer->Write(AreaOf(buffer.data(), 8192));
    writer->Close();
  }
  state.SetBytesProcessed(state.iterations() * Volume);
}
BENCHMARK(BM_ThreadStreamWrite)
    ->Arg(65536)
    ->Arg(529200)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
