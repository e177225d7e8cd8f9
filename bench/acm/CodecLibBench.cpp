// Throughput of the GSM 6.10 and MPEG Layer-3 drivers in MB/s of 16-bit PCM (the PCM read by an
// encoder, the PCM written by a decoder), through the codec manager's calls.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/BenchSupport.h"
#include "platform/acm/Acm.h"
#include "platform/acm/AcmDriver.h"
#include "platform/acm/AcmSamples.h"

namespace {

constexpr double kSeconds = 4;

// The music-like signal's bytes.
std::vector<uint8_t> Signal(uint32_t rate, uint16_t channels) {
  const auto samples = MusicSamples(rate, channels, kSeconds);
  std::vector<uint8_t> bytes(samples.size() * 2);
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

// One signal through a new stream in 8 KB source buffers, flushed at the end: what a
// conversion stream does with a file. Answers the output.
std::vector<uint8_t> Convert(const acm::FormatRecord& from, const acm::FormatRecord& to,
                             const std::vector<uint8_t>& input) {
  HACMSTREAM stream = nullptr;
  if (acmStreamOpen(&stream, nullptr, &from.Get(), &to.Get(), nullptr, 0, 0, 0)) return {};
  uint32_t out_size = 0;
  acmStreamSize(stream, 8192, &out_size, ACM_STREAMSIZEF_SOURCE);
  std::vector<uint8_t> source(8192), destination(out_size), output;
  output.reserve(input.size());
  ACMSTREAMHEADER header{};
  header.cbStruct = ACMSTREAMHEADER_MIN_CBSTRUCT;
  header.pbSrc = source.data();
  header.cbSrcLength = 8192;
  header.pbDst = destination.data();
  header.cbDstLength = out_size;
  acmStreamPrepareHeader(stream, &header, 0);
  size_t at = 0, pending = 0;
  for (bool done = false; !done;) {
    const size_t take = std::min(8192 - pending, input.size() - at);
    std::memcpy(source.data() + pending, input.data() + at, take);
    at += take;
    pending += take;
    const bool end = at == input.size();
    header.cbSrcLength = static_cast<uint32_t>(pending);
    acmStreamConvert(stream, &header, end ? ACM_STREAMCONVERTF_END : ACM_STREAMCONVERTF_BLOCKALIGN);
    std::memmove(source.data(), source.data() + header.cbSrcLengthUsed,
                 pending - header.cbSrcLengthUsed);
    pending -= header.cbSrcLengthUsed;
    output.insert(output.end(), destination.begin(), destination.begin() + header.cbDstLengthUsed);
    done = end && pending == 0 && header.cbDstLengthUsed == 0;
  }
  header.cbSrcLength = 8192;
  acmStreamUnprepareHeader(stream, &header, 0);
  acmStreamClose(stream, 0);
  return output;
}

void BM_Encode(benchmark::State& state) {
  const auto tag = static_cast<uint16_t>(state.range(0));
  const auto rate = static_cast<uint32_t>(state.range(1));
  const auto channels = static_cast<uint16_t>(state.range(2));
  const auto pcm = acm::MakeLinearRecord(acm::SampleType::kSigned16, channels, rate);
  const auto codec = SuggestedFormat(pcm, tag);
  const auto input = Signal(rate, channels);
  for (auto _ : state)
    benchmark::DoNotOptimize(Convert(pcm, codec, input).size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

void BM_Decode(benchmark::State& state) {
  const auto tag = static_cast<uint16_t>(state.range(0));
  const auto rate = static_cast<uint32_t>(state.range(1));
  const auto channels = static_cast<uint16_t>(state.range(2));
  const auto pcm = acm::MakeLinearRecord(acm::SampleType::kSigned16, channels, rate);
  const auto codec = SuggestedFormat(pcm, tag);
  const auto coded = Convert(pcm, codec, Signal(rate, channels));
  size_t decoded = 0;
  for (auto _ : state)
    decoded = Convert(codec, pcm, coded).size();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * decoded));
}

#define CODECS(bm)                               \
  BENCHMARK(bm)                                  \
      ->ArgNames({"tag", "rate", "ch"})          \
      ->Args({WAVE_FORMAT_GSM610, 8000, 1})      \
      ->Args({WAVE_FORMAT_MPEGLAYER3, 44100, 2}) \
      ->Args({WAVE_FORMAT_MPEGLAYER3, 22050, 1}) \
      ->Unit(benchmark::kMillisecond)
CODECS(BM_Encode);
CODECS(BM_Decode);

}  // namespace
