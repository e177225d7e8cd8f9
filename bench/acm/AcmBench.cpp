// Throughput of the codec manager's drivers in MB/s of 16-bit PCM (the PCM read by an encoder,
// the PCM written by a decoder), and of the PCM converter's width, channel and rate changes.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "bench/BenchSupport.h"
#include "platform/acm/Acm.h"
#include "platform/acm/AcmDriver.h"
#include "platform/acm/AcmSamples.h"

namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kSeconds = 2;

// Music-like test signal: two tones and a little noise, scaled by level.
std::vector<uint8_t> Signal(uint16_t channels, acm::SampleType type, uint32_t rate = kRate,
                            double level = 1) {
  const size_t frames = size_t{rate} * kSeconds;
  std::vector<int32_t> samples(frames * channels);
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0, 0.02);
  for (size_t i = 0; i < frames; ++i)
    for (uint16_t c = 0; c < channels; ++c) {
      const double t = static_cast<double>(i) / rate;
      const double v = level * (0.4 * std::sin(2 * M_PI * (220 + 55 * c) * t) +
                                0.2 * std::sin(2 * M_PI * 3300 * t) + noise(random));
      samples[i * channels + c] = static_cast<int32_t>(std::lround(v * 2147483647.0));
    }
  std::vector<uint8_t> bytes(samples.size() * acm::BytesPerSample(type));
  acm::WriteSamples(type, samples.data(), samples.size(), bytes.data());
  return bytes;
}

// Converts input whole, as often as the benchmark wants; answers the last output.
std::vector<uint8_t> Convert(benchmark::State* state, const acm::FormatRecord& from,
                             const acm::FormatRecord& to, std::vector<uint8_t> input,
                             size_t pcm_bytes) {
  HACMSTREAM stream = nullptr;
  if (acmStreamOpen(&stream, nullptr, &from.Get(), &to.Get(), nullptr, 0, 0, 0)) {
    if (state) state->SkipWithError("cannot open");
    return {};
  }
  uint32_t out_size = 0;
  acmStreamSize(stream, static_cast<uint32_t>(input.size()), &out_size, ACM_STREAMSIZEF_SOURCE);
  std::vector<uint8_t> output(out_size);
  ACMSTREAMHEADER header{};
  header.cbStruct = 84;
  header.pbSrc = input.data();
  header.cbSrcLength = static_cast<uint32_t>(input.size());
  header.pbDst = output.data();
  header.cbDstLength = out_size;
  acmStreamPrepareHeader(stream, &header, 0);
  auto once = [&] {
    acmStreamConvert(stream, &header, ACM_STREAMCONVERTF_BLOCKALIGN);
    benchmark::DoNotOptimize(output.data());
  };
  if (state) {
    for (auto _ : *state)
      once();
    state->SetBytesProcessed(static_cast<int64_t>(state->iterations() * pcm_bytes));
  } else {
    once();
  }
  output.resize(header.cbDstLengthUsed);
  acmStreamUnprepareHeader(stream, &header, 0);
  acmStreamClose(stream, 0);
  return output;
}

acm::FormatRecord Pcm(acm::SampleType type, uint16_t channels, uint32_t rate = kRate) {
  return acm::MakeLinearRecord(type, channels, rate);
}

void BM_Encode(benchmark::State& state) {
  const auto tag = static_cast<uint16_t>(state.range(0));
  const auto channels = static_cast<uint16_t>(state.range(1));
  const auto source = Pcm(acm::SampleType::kSigned16, channels);
  const auto input = Signal(channels, acm::SampleType::kSigned16);
  Convert(&state, source, SuggestedFormat(source, tag), input, input.size());
}

void BM_Decode(benchmark::State& state) {
  const auto tag = static_cast<uint16_t>(state.range(0));
  const auto channels = static_cast<uint16_t>(state.range(1));
  const auto source = Pcm(acm::SampleType::kSigned16, channels);
  const auto input = Signal(channels, acm::SampleType::kSigned16);
  const auto codec = SuggestedFormat(source, tag);
  const auto coded = Convert(nullptr, source, codec, input, 0);
  Convert(&state, codec, SuggestedFormat(codec, WAVE_FORMAT_PCM), coded, input.size());
}

#define CODECS(bm)                       \
  BENCHMARK(bm)                          \
      ->ArgNames({"tag", "ch"})          \
      ->Args({WAVE_FORMAT_IMA_ADPCM, 1}) \
      ->Args({WAVE_FORMAT_IMA_ADPCM, 2}) \
      ->Args({WAVE_FORMAT_ADPCM, 1})     \
      ->Args({WAVE_FORMAT_ADPCM, 2})     \
      ->Args({WAVE_FORMAT_ALAW, 2})      \
      ->Args({WAVE_FORMAT_MULAW, 2})     \
      ->Unit(benchmark::kMillisecond)
CODECS(BM_Encode);
CODECS(BM_Decode);

// The ADPCM encoders choose nibbles differently where steps are small: the same signal 40 dB
// down.
void BM_EncodeQuiet(benchmark::State& state) {
  const auto tag = static_cast<uint16_t>(state.range(0));
  const auto channels = static_cast<uint16_t>(state.range(1));
  const auto source = Pcm(acm::SampleType::kSigned16, channels);
  const auto input = Signal(channels, acm::SampleType::kSigned16, kRate, 0.01);
  Convert(&state, source, SuggestedFormat(source, tag), input, input.size());
}
BENCHMARK(BM_EncodeQuiet)
    ->ArgNames({"tag", "ch"})
    ->Args({WAVE_FORMAT_IMA_ADPCM, 1})
    ->Args({WAVE_FORMAT_IMA_ADPCM, 2})
    ->Args({WAVE_FORMAT_ADPCM, 1})
    ->Args({WAVE_FORMAT_ADPCM, 2})
    ->Unit(benchmark::kMillisecond);

// PCM conversions; the bytes counted are those of the 16-bit side.
void BM_Convert(benchmark::State& state, acm::SampleType from_type, uint16_t from_channels,
                acm::SampleType to_type, uint16_t to_channels, uint32_t to_rate) {
  const auto input = Signal(from_channels, from_type);
  const bool source16 = from_type == acm::SampleType::kSigned16;
  const size_t frames = input.size() / (from_channels * acm::BytesPerSample(from_type));
  const size_t pcm = frames * 2 * (source16 ? from_channels : to_channels);
  Convert(&state, Pcm(from_type, from_channels), Pcm(to_type, to_channels, to_rate), input, pcm);
}

using acm::SampleType;
BENCHMARK_CAPTURE(BM_Convert, 16_to_24_stereo, SampleType::kSigned16, 2, SampleType::kSigned24, 2,
                  kRate);
BENCHMARK_CAPTURE(BM_Convert, 24_to_16_stereo, SampleType::kSigned24, 2, SampleType::kSigned16, 2,
                  kRate);
BENCHMARK_CAPTURE(BM_Convert, 16_to_float_stereo, SampleType::kSigned16, 2, SampleType::kFloat32, 2,
                  kRate);
BENCHMARK_CAPTURE(BM_Convert, float_to_16_stereo, SampleType::kFloat32, 2, SampleType::kSigned16, 2,
                  kRate);
BENCHMARK_CAPTURE(BM_Convert, 16_stereo_to_mono, SampleType::kSigned16, 2, SampleType::kSigned16, 1,
                  kRate);
BENCHMARK_CAPTURE(BM_Convert, 16_mono_to_stereo, SampleType::kSigned16, 1, SampleType::kSigned16, 2,
                  kRate);
BENCHMARK_CAPTURE(BM_Convert, 16_6ch_to_stereo, SampleType::kSigned16, 6, SampleType::kSigned16, 2,
                  kRate);
BENCHMARK_CAPTURE(BM_Convert, 16_stereo_44100_to_22050, SampleType::kSigned16, 2,
                  SampleType::kSigned16, 2, 22050)
    ->Unit(benchmark::kMillisecond);

}  // namespace
