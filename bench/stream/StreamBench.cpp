// Throughput of the stream layer's inner loops: the generic copy and the ring arithmetic that
// the FIFO runs on.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "core/UKZArea.h"
#include "stream/UKZStream.h"

namespace {

// Delivers the same buffer forever up to a byte budget, and discards what is written.
class TSourceSink : public TKZStream {
 public:
  explicit TSourceSink(int64_t ABudget) : FLeft(ABudget) {}
  int32_t Read(const TKZArea& AArea) override {
    const auto n = static_cast<int32_t>(std::min<int64_t>(AArea.Size, FLeft));
    std::memset(AreaBytes(AArea), 0x5a, static_cast<size_t>(n));
    FLeft -= n;
    return n;
  }
  int32_t Write(const TKZArea& AArea) override {
    benchmark::DoNotOptimize(AreaBytes(AArea)[AArea.Size - 1]);
    return AArea.Size;
  }

 private:
  int64_t FLeft;
};

void BM_StreamCopy(benchmark::State& state) {
  const int64_t bytes = state.range(0);
  for (auto _ : state) {
    TSourceSink source(bytes), sink(0);
    benchmark::DoNotOptimize(HKZStream::Copy(source, sink));
  }
  state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_StreamCopy)->Arg(64 << 20);

void BM_RingCycle(benchmark::State& state) {
  std::vector<uint8_t> memory(65536);
  TKZRing ring = Ring(AreaOf(memory.data(), 65536), AreaOf(memory.data(), 0));
  const auto step = static_cast<int32_t>(state.range(0));
  TKZArea first, second;
  for (auto _ : state) {
    RingProduce(ring, step);
    benchmark::DoNotOptimize(RingPieces(ring, first, second));
    RingConsume(ring, step);
  }
  state.SetBytesProcessed(state.iterations() * step);
}
BENCHMARK(BM_RingCycle)->Arg(1000)->Arg(8192);

}  // namespace
