#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/acm/AcmCodec.h"
#include "platform/acm/AcmDriver.h"
#include "tests/platform/acm/AcmTestSupport.h"

using namespace acmtest;

namespace {

// What one batch worker does: a resampled, downmixed encode and its decode. The second round
// of workers encodes in the high mode, whose ADPCM searches code several blocks a call on a
// second thread.
Samples Work(int worker) {
  const bool high = worker >= 6;
  const acm::ScopedEncoderOptions options({high, 0});
  static constexpr uint16_t kTags[] = {WAVE_FORMAT_IMA_ADPCM, WAVE_FORMAT_ADPCM,
                                       WAVE_FORMAT_ALAW,      WAVE_FORMAT_MULAW,
                                       WAVE_FORMAT_GSM610,    WAVE_FORMAT_MPEGLAYER3};
  const auto source = Pcm(2, 48000);
  acm::FormatRecord codec;
  Suggest(source, {kTags[worker % std::size(kTags)], 1, 22050, 0, 0, 0, 0},
          ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
              ACM_FORMATSUGGESTF_NSAMPLESPERSEC,
          codec);
  const Bytes coded = ConvertAll(source, codec, AsBytes(Tone(48000, 2, 0.5, 300.0 + 100 * worker)),
                                 high ? 65536 : 4096);
  return AsSamples(ConvertAll(codec, SuggestTag(codec, WAVE_FORMAT_PCM), coded));
}

}  // namespace

TEST(AcmThreads, StreamsConvertSideBySide) {
  constexpr int kWorkers = 12;
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
