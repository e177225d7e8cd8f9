#include "tests/support/WaveFiles.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>

constexpr double kPi = std::numbers::pi, kHertz[] = {440, 660, 1250};

std::unique_ptr<TKZWaveFormat> FormatOfRecord(const void* ARecord, size_t ASize) {
  const auto* bytes = static_cast<const uint8_t*>(ARecord);
  TMemoryStream stream(Bytes(bytes, bytes + ASize));
  return TKZWaveFormat::ReadFrom(*stream.AsStream(), static_cast<int32_t>(ASize));
}

std::unique_ptr<TKZWaveFormat> MakeLinear(uint16_t ATag, uint16_t AChannels, uint32_t ARate,
                                          uint16_t ABits) {
  const auto align = static_cast<uint16_t>(AChannels * ABits / 8);
  const WAVEFORMATEX record{ATag, AChannels, ARate, ARate * align, align, ABits, 0};
  return FormatOfRecord(&record, sizeof record);
}

std::unique_ptr<TKZWaveFormat> Tagged(uint16_t ATag, uint32_t ARate) {
  auto format = TKZWaveFormat::CreateDefault();
  format->SetFormatTag(ATag);
  if (ARate) format->SetSamplesPerSec(ARate);
  return format;
}

Bytes ReadAll(TKZStream& AStream) {
  Bytes all, buffer(5000);
  for (int32_t n; (n = AStream.Read(AreaOf(buffer.data(), 5000))) > 0;)
    all.insert(all.end(), buffer.begin(), buffer.begin() + n);
  return all;
}

void WriteWaveFile(const std::string& AFileName, const TKZWaveFormat& AFormat, const Bytes& AAudio,
                   int32_t AFrames) {
  auto format = TKZWaveStreamFormat::CreateFromFormat(&AFormat);
  if (AFrames > 0) format->Fact().SetSampleCount(AFrames);
  auto wave = TKZMMIOWaveStream::OpenWriteFile(AFileName, *format);
  TMemoryStream audio(AAudio);
  if (!wave || !TKZStream::Copy(audio, *wave))
    throw std::runtime_error("cannot write " + AFileName);
  wave->Close();
}

Bytes ToneBytes(const TKZWaveFormat& AFormat, int32_t AFrames) {
  const int channels = AFormat.GetChannels(), width = AFormat.GetBitsPerSample() / 8;
  Bytes bytes(static_cast<size_t>(AFrames) * channels * width);
  for (size_t i = 0; i < bytes.size() / width; ++i) {
    const double t = static_cast<double>(i / channels) / AFormat.GetSamplesPerSec();
    const double v = 0.35 * std::sin(2 * kPi * kHertz[i % channels % 2] * t) +
                     0.15 * std::sin(2 * kPi * kHertz[2] * t);
    auto q = static_cast<uint32_t>(std::lround(std::ldexp(v, 8 * width - 1)));
    if (AFormat.GetFormatTag() == WAVE_FORMAT_IEEE_FLOAT) q = std::bit_cast<uint32_t>(float(v));
    if (width == 1) q += 128;  // 8-bit samples are unsigned
    std::memcpy(&bytes[i * width], &q, width);
  }
  return bytes;
}

std::vector<double> SamplesOf(const Bytes& ABytes, const TKZWaveFormat& AFormat) {
  const int width = AFormat.GetBitsPerSample() / 8;
  std::vector<double> samples(ABytes.size() / width);
  for (size_t i = 0; i < samples.size(); ++i) {
    uint32_t u = 0;
    std::memcpy(&u, &ABytes[i * width], width);
    samples[i] =
        AFormat.GetFormatTag() == WAVE_FORMAT_IEEE_FLOAT
            ? std::bit_cast<float>(u)
            : std::ldexp(static_cast<int32_t>((width == 1 ? u ^ 0x80 : u) << (32 - 8 * width)),
                         -31);
  }
  return samples;
}

// Over whole 0.2 s periods every tone completes whole cycles, so the tones and a constant are
// orthogonal there and projecting on each is the least-squares fit.
double ToneSnr(const std::vector<double>& ASamples, uint16_t AChannels, uint32_t ARate,
               size_t AFrom, size_t ATo) {
  const size_t n = (ATo - AFrom) / (ARate / 5) * (ARate / 5);
  double worst = n > 0 ? 1000 : -1000;
  for (uint16_t c = 0; c < AChannels && n > 0; ++c) {
    auto y = [&](size_t i) { return ASamples[(AFrom + i) * AChannels + c]; };
    auto basis = [&](size_t k, size_t i) {  // sines, cosines, the constant
      const double phase = 2 * kPi * kHertz[k % 3] * static_cast<double>(AFrom + i) / ARate;
      return k == 6 ? 1 : k < 3 ? std::sin(phase) : std::cos(phase);
    };
    double weight[7] = {}, signal = 0, noise = 0;
    for (size_t i = 0; i < n; ++i)
      for (size_t k = 0; k < 7; ++k)
        weight[k] += (k == 6 ? 1 : 2) * y(i) * basis(k, i) / static_cast<double>(n);
    for (size_t i = 0; i < n; ++i) {
      double fit = 0;
      for (size_t k = 0; k < 7; ++k)
        fit += weight[k] * basis(k, i);
      signal += fit * fit;
      noise += (y(i) - fit) * (y(i) - fit);
    }
    worst = std::min(worst, 10 * std::log10(signal / std::max(noise, 1e-30)));
  }
  return worst;
}
