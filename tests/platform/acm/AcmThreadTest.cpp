#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/acm/AcmDriver.h"
#include "tests/platform/acm/AcmTestSupport.h"

using namespace acmtest;

namespace {

// What one batch worker does: a resampled, downmixed encode and its decode.
Samples Work(int worker) {
  static constexpr uint16_t kTags[] = {WAVE_FORMAT_IMA_ADPCM, WAVE_FORMAT_ADPCM, WAVE_FORMAT_ALAW,
                                       WAVE_FORMAT_MULAW};
  const auto source = Pcm(2, 48000);
  acm::FormatRecord codec;
  Suggest(source, {kTags[worker % 4], 1, 22050, 0, 0, 0, 0},
          ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
              ACM_FORMATSUGGESTF_NSAMPLESPERSEC,
          codec);
  const Bytes coded =
      ConvertAll(source, codec, AsBytes(Tone(48000, 2, 0.5, 300.0 + 100 * worker)), 4096);
  return AsSamples(ConvertAll(codec, SuggestTag(codec, WAVE_FORMAT_PCM), coded));
}

}  // namespace

TEST(AcmThreads, StreamsConvertSideBySide) {
  constexpr int kWorkers = 8;
  std::vector<Samples> alone(kWorkers), together(kWorkers);
  for (int w = 0; w < kWorkers; ++w)
    alone[w] = Work(w);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w)
    threads.emplace_back([&, w] { together[w] = Work(w); });
  // Meanwhile drivers come and go in the table.
  for (int i = 0; i < 200; ++i) {
    acm::ScopedDriver extra(acm::Drivers().front());
    EXPECT_FALSE(SuggestTag(Pcm(1, 8000), WAVE_FORMAT_IMA_ADPCM).Empty());
  }
  for (auto& t : threads)
    t.join();
  for (int w = 0; w < kWorkers; ++w) {
    ASSERT_FALSE(alone[w].empty());
    EXPECT_EQ(together[w], alone[w]) << "worker " << w;
  }
}
