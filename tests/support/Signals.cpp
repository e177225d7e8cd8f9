#include "tests/support/Signals.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

namespace {

Samples Make(uint32_t ARate, uint16_t AChannels, double ASeconds, auto AValue) {
  const auto frames = static_cast<size_t>(ARate * ASeconds);
  Samples samples(frames * AChannels);
  for (size_t i = 0; i < samples.size(); ++i)  // noise differs per channel
    samples[i] = static_cast<int16_t>(std::clamp(
        std::lround(AValue(static_cast<double>(i / AChannels) / ARate) * 32767), -32768L, 32767L));
  return samples;
}

}  // namespace

Samples Tone(uint32_t ARate, uint16_t AChannels, double ASeconds, double AFrequency,
             double AAmplitude) {
  return Make(ARate, AChannels, ASeconds,
              [&](double t) { return AAmplitude * std::sin(2 * M_PI * AFrequency * t); });
}

Samples Noise(uint32_t ARate, uint16_t AChannels, double ASeconds, double AAmplitude) {
  std::mt19937 random(11);
  std::normal_distribution<double> normal(0, AAmplitude);
  return Make(ARate, AChannels, ASeconds, [&](double) { return normal(random); });
}

Samples Sweep(uint32_t ARate, uint16_t AChannels, double ASeconds, double AAmplitude) {
  const double k = std::log(ARate / 2.2 / 20) / ASeconds;
  return Make(ARate, AChannels, ASeconds, [&](double t) {
    return AAmplitude * std::sin(2 * M_PI * 20 * (std::exp(k * t) - 1) / k);
  });
}

Samples Square(uint32_t ARate, uint16_t AChannels, double ASeconds, double AFrequency) {
  return Make(ARate, AChannels, ASeconds,
              [&](double t) { return std::fmod(t * AFrequency, 1.0) < 0.5 ? 1.0 : -1.0; });
}

Bytes AsBytes(const Samples& ASamples) {
  Bytes bytes(ASamples.size() * 2);
  std::memcpy(bytes.data(), ASamples.data(), bytes.size());
  return bytes;
}

Samples AsSamples(const Bytes& ABytes) {
  Samples samples(ABytes.size() / 2);
  std::memcpy(samples.data(), ABytes.data(), samples.size() * 2);
  return samples;
}

Samples Part(const Samples& ASamples, size_t AFrom, size_t ATo) {
  return Samples(ASamples.begin() + static_cast<ptrdiff_t>(std::min(AFrom, ASamples.size())),
                 ASamples.begin() + static_cast<ptrdiff_t>(std::min(ATo, ASamples.size())));
}

double Snr(const Samples& AReference, const Samples& ATest) {
  double signal = 0, error = 0;
  for (size_t i = 0; i < std::min(AReference.size(), ATest.size()); ++i) {
    const double r = AReference[i], e = r - ATest[i];
    signal += r * r;
    error += e * e;
  }
  return error == 0 ? 200 : 10 * std::log10(signal / error);
}

size_t Delay(const Samples& AReference, const Samples& ATest, uint16_t AChannels) {
  size_t best = 0;
  double most = -1e300;
  for (size_t d = 0; d < 4000; ++d) {
    double sum = 0;
    for (size_t i = 0;
         i < 20000 && (i + d) * AChannels < ATest.size() && i * AChannels < AReference.size(); ++i)
      sum += static_cast<double>(AReference[i * AChannels]) * ATest[(i + d) * AChannels];
    if (sum > most) most = sum, best = d;
  }
  return best;
}
