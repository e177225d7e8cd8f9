#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/platform/acm/AcmTestSupport.h"

using namespace acmtest;

// Each stream has its own libgsm, LAME or mpg123 handle: side by side, streams code exactly as
// they do alone.
TEST(AcmCodecLibThreads, GsmAndMp3StreamsConvertSideBySide) {
  constexpr int kWorkers = 6;
  auto work = [](int worker) {
    const auto source = Pcm(2, 48000);
    const uint16_t tag = worker % 2 ? WAVE_FORMAT_GSM610 : WAVE_FORMAT_MPEGLAYER3;
    const auto codec = SuggestTag(source, tag);
    const Bytes coded =
        ConvertAll(source, codec, AsBytes(Tone(48000, 2, 0.5, 300.0 + 100 * worker)), 4096);
    return std::pair{coded, ConvertAll(codec, SuggestTag(codec, WAVE_FORMAT_PCM), coded)};
  };
  std::vector<std::pair<Bytes, Bytes>> alone(kWorkers), together(kWorkers);
  for (int w = 0; w < kWorkers; ++w)
    alone[w] = work(w);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w)
    threads.emplace_back([&, w] { together[w] = work(w); });
  for (auto& t : threads)
    t.join();
  for (int w = 0; w < kWorkers; ++w) {
    ASSERT_FALSE(alone[w].second.empty());
    EXPECT_EQ(together[w], alone[w]) << "worker " << w;
  }
}
