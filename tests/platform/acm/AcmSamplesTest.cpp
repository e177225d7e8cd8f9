#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "platform/acm/AcmSamples.h"
#include "tests/platform/acm/AcmTestSupport.h"

using namespace acmtest;

TEST(AcmSamples, LinearRecordsAreReadAsFilesHaveThem) {
  // Real files carry PCM records with a block alignment or byte rate of 0 or wrong values.
  WAVEFORMATEX sloppy{WAVE_FORMAT_PCM, 2, 44100, 0, 0, 16, 0xBEEF};
  const auto format = acm::ReadLinearFormat(sloppy);
  ASSERT_TRUE(format);
  EXPECT_EQ(format->FrameBytes(), 4u);
  EXPECT_EQ(format->channel_mask, SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT);
  const Samples tone = Tone(44100, 2, 0.1);
  EXPECT_EQ(AsSamples(ConvertAll(Record(sloppy), Pcm(2, 44100), AsBytes(tone))), tone);

  // No channels, 40 bits, a 16-bit float (12 bits are read as 16: see below).
  for (const auto& [at, value] : {std::pair{2, 0}, {14, 40}, {0, WAVE_FORMAT_IEEE_FLOAT}}) {
    WAVEFORMATEX bad = sloppy;
    std::memcpy(reinterpret_cast<uint8_t*>(&bad) + at, &value, 2);
    EXPECT_FALSE(acm::ReadLinearFormat(bad));
    EXPECT_TRUE(SuggestTag(Record(bad), WAVE_FORMAT_IMA_ADPCM).Empty());
  }
  auto extensible = Extensible(2, 48000, 16, 3);
  Bytes other(extensible.Bytes(), extensible.Bytes() + extensible.Size());
  other[24] = 9;  // neither the PCM nor the float sub-format
  EXPECT_FALSE(acm::ReadLinearFormat(*reinterpret_cast<WAVEFORMATEX*>(other.data())));
}

TEST(AcmSamples, NarrowingSaturates) {
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  const float floats[] = {std::nanf(""), kInfinity, -kInfinity, 1.5f, 0.5f, -1.0f};
  int32_t samples[6];
  acm::ReadSamples(acm::SampleType::kFloat32, reinterpret_cast<const uint8_t*>(floats), 6, samples);
  int16_t narrow[6];
  acm::SamplesToInt16(samples, 6, narrow);
  EXPECT_EQ(std::vector<int16_t>(narrow, narrow + 6),
            (std::vector<int16_t>{0, 32767, -32768, 32767, 16384, -32768}));

  // Full scale into 8 bits.
  uint8_t bytes[6];
  acm::WriteSamples(acm::SampleType::kUnsigned8, samples, 6, bytes);
  EXPECT_EQ(bytes[1], 255);
  EXPECT_EQ(bytes[0], 128);
}

TEST(AcmSamples, ChannelsMixByPosition) {
  const acm::ChannelMixer surround(6, 0x3F, 2, 0x3);            // FL FR FC LFE BL BR to stereo
  EXPECT_GT(surround.Weight(0, 0), surround.Weight(0, 2));      // left: front left, then centre
  EXPECT_EQ(surround.Weight(0, 1) + surround.Weight(0, 3), 0);  // not front right nor LFE
  EXPECT_NEAR(surround.Weight(0, 0) + surround.Weight(0, 2) + surround.Weight(0, 4), 1.0, 1e-9);
  // The same sound in every channel keeps its level on both sides.
  const int32_t same[6] = {1 << 28, 1 << 28, 1 << 28, 1 << 28, 1 << 28, 1 << 28};
  int32_t mixed[2] = {};
  surround.Mix(same, 1, mixed);
  EXPECT_NEAR(mixed[0], 1 << 28, 2);
  EXPECT_NEAR(mixed[1], 1 << 28, 2);
}

TEST(AcmPcm, SuggestsTheSourcesOwnValues) {
  for (uint16_t bits : {8, 16, 24, 32})
    EXPECT_EQ(SuggestTag(Pcm(2, 48000, bits), WAVE_FORMAT_PCM), Pcm(2, 48000, bits));
  EXPECT_EQ(SuggestTag(Float(6, 96000), WAVE_FORMAT_PCM), Pcm(6, 96000, 24));
  EXPECT_EQ(SuggestTag(Extensible(6, 48000, 24, 0x3F), WAVE_FORMAT_PCM), Pcm(6, 48000, 24));
  EXPECT_EQ(SuggestTag(Pcm(2, 48000), WAVE_FORMAT_IEEE_FLOAT), Float(2, 48000));

  acm::FormatRecord result;
  const uint32_t all = ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                       ACM_FORMATSUGGESTF_NSAMPLESPERSEC | ACM_FORMATSUGGESTF_WBITSPERSAMPLE;
  ASSERT_EQ(Suggest(Pcm(2, 48000), {WAVE_FORMAT_PCM, 1, 22050, 0, 0, 8, 0}, all, result), 0u);
  EXPECT_EQ(result, Pcm(1, 22050, 8));
  // 12 bits; 100 Hz, beyond one resampler's reach from 48 kHz.
  EXPECT_EQ(Suggest(Pcm(2, 48000), {1, 1, 22050, 0, 0, 12, 0}, all, result), ACMERR_NOTPOSSIBLE);
  EXPECT_EQ(Suggest(Pcm(2, 48000), {1, 1, 100, 0, 0, 16, 0}, all, result), ACMERR_NOTPOSSIBLE);
}

TEST(AcmPcm, ConvertsWidthChannelsAndRateInOneStream) {
  // To each and back: no frame lost at the end; exact where only the width changes.
  const Samples tone = Tone(44100, 2, 1.0, 1000, 0.25);
  for (const auto& format :
       {Pcm(1, 48000, 24), Float(2, 44100), Extensible(2, 44100, 24, 3), Pcm(2, 44100, 32)}) {
    SCOPED_TRACE(format.Get().wFormatTag);
    const Bytes wide = ConvertAll(Pcm(2, 44100), format, AsBytes(tone));
    EXPECT_NEAR(wide.size() / format.Get().nBlockAlign, format.Get().nSamplesPerSec, 2);
    const Samples back = AsSamples(ConvertAll(format, Pcm(2, 44100), wide));
    if (format.Get().nChannels == 2)
      EXPECT_EQ(back, tone);
    else
      EXPECT_GT(Snr(tone, back), 60);
    EXPECT_NEAR(back.size(), tone.size(), 4);
  }
}
