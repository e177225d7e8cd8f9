#pragma once

// What the benchmark programs share: a stopwatch, the music-like test signal, and the format the
// codec manager suggests for a tag.

#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/acm/Acm.h"
#include "platform/acm/AcmDriver.h"

using BenchClock = std::chrono::steady_clock;

// A new folder under the system's temporary folder, removed with everything in it at the end.
class TBenchFolder {
 public:
  TBenchFolder()
      : FPath((std::filesystem::temp_directory_path() / "corvane-bench-XXXXXX").string()) {
    if (!mkdtemp(FPath.data())) throw std::runtime_error("cannot create a folder in " + FPath);
  }
  ~TBenchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  TBenchFolder(const TBenchFolder&) = delete;
  TBenchFolder& operator=(const TBenchFolder&) = delete;

  std::string File(const std::string& AName) const { return FPath + "/" + AName; }

 private:
  std::string FPath;
};

inline double SecondsSince(BenchClock::time_point AStart) {
  return std::chrono::duration<double>(BenchClock::now() - AStart).count();
}

// 16-bit samples, interleaved: two tones per channel and a little noise.
inline std::vector<int16_t> MusicSamples(uint32_t ARate, uint16_t AChannels, double ASeconds) {
  const auto frames = static_cast<size_t>(ARate * ASeconds);
  std::vector<int16_t> samples(frames * AChannels);
  uint32_t noise = 1;
  for (size_t i = 0; i < frames; ++i)
    for (uint16_t c = 0; c < AChannels; ++c) {
      noise = noise * 1664525 + 1013904223;
      const double t = static_cast<double>(i) / ARate;
      samples[i * AChannels + c] =
          static_cast<int16_t>(9000 * std::sin(2 * M_PI * (220 + 55 * c) * t) +
                               4000 * std::sin(2 * M_PI * 1870 * t) + (noise >> 23) - 256);
    }
  return samples;
}

// The whole record the codec manager suggests for ATag from ASource; empty when it has none.
inline acm::FormatRecord SuggestedFormat(const acm::FormatRecord& ASource, uint16_t ATag) {
  std::vector<uint8_t> buffer(64, 0);
  auto* templ = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
  templ->wFormatTag = ATag;
  if (acmFormatSuggest(nullptr, &ASource.Get(), templ, 64, ACM_FORMATSUGGESTF_WFORMATTAG))
    return {};
  return acm::FormatRecord(*templ);
}
