#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <tuple>

#include "platform/acm/AcmCodec.h"
#include "platform/acm/drivers/G711.h"
#include "platform/acm/drivers/ImaAdpcm.h"
#include "platform/acm/drivers/MsAdpcm.h"
#include "tests/platform/acm/AcmTestSupport.h"

using namespace acmtest;

namespace {

constexpr uint16_t kCodecs[] = {WAVE_FORMAT_IMA_ADPCM, WAVE_FORMAT_ADPCM, WAVE_FORMAT_ALAW,
                                WAVE_FORMAT_MULAW};
constexpr uint32_t kAll = ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                          ACM_FORMATSUGGESTF_NSAMPLESPERSEC | ACM_FORMATSUGGESTF_WBITSPERSAMPLE;

}  // namespace

TEST(AcmCodecs, RoundTripsMeetTheirFloors) {
  const auto pcm = Pcm(2, 44100);
  const Samples tone = Tone(44100, 2, 1), sweep = Sweep(44100, 2, 1), noise = Noise(44100, 2, 1);
  for (const auto& [tag, floors] : {std::pair{WAVE_FORMAT_IMA_ADPCM, std::array{43, 17, 14}},
                                    {WAVE_FORMAT_ADPCM, {60, 20, 16}},
                                    {WAVE_FORMAT_ALAW, {37, 37, 37}},
                                    {WAVE_FORMAT_MULAW, {35, 35, 35}}}) {
    SCOPED_TRACE(tag);
    EXPECT_GT(Snr(tone, RoundTrip(pcm, tag, tone)), floors[0]);
    EXPECT_GT(Snr(sweep, RoundTrip(pcm, tag, sweep)), floors[1]);
    EXPECT_GT(Snr(noise, RoundTrip(pcm, tag, noise)), floors[2]);
    for (int16_t v : RoundTrip(pcm, tag, Samples(2000, 0)))
      ASSERT_LE(std::abs(v), 8);
  }
}

TEST(AcmCodecs, SuggestionsKeepWhatTheCodecCarriesAndTakeTheNearestElse) {
  const auto ima = SuggestTag(Pcm(2, 48000), WAVE_FORMAT_IMA_ADPCM);
  EXPECT_EQ(ima, Record({0x11, 2, 48000, 48000 * 2048 / 2041, 2048, 4, 2}, {0xF9, 0x07}));
  const auto ms = SuggestTag(Pcm(1, 11025), WAVE_FORMAT_ADPCM);
  EXPECT_EQ(ms.Get().nBlockAlign, 256);
  EXPECT_EQ(ms.Get().cbSize, 32);
  uint16_t per_block;
  std::memcpy(&per_block, ms.Bytes() + 18, 2);
  EXPECT_EQ(per_block, 500);  // samples per block: 2 × (256 − 7) + 2

  EXPECT_EQ(SuggestTag(Float(6, 96000), WAVE_FORMAT_IMA_ADPCM).Get().nChannels, 2);
  EXPECT_EQ(SuggestTag(Pcm(1, 500), WAVE_FORMAT_ADPCM).Get().nSamplesPerSec, 1000u);
  EXPECT_EQ(SuggestTag(Pcm(10, 48000), WAVE_FORMAT_ALAW).Get().nChannels, 8);

  acm::FormatRecord result;
  ASSERT_EQ(Suggest(Pcm(2, 48000), {WAVE_FORMAT_MULAW, 1, 8000, 0, 0, 8, 0}, kAll, result), 0u);
  EXPECT_EQ(result, Record({WAVE_FORMAT_MULAW, 1, 8000, 8000, 1, 8, 0}));

  const auto pcm = Pcm(2, 44100);
  constexpr uint32_t kTag = ACM_FORMATSUGGESTF_WFORMATTAG;
  EXPECT_EQ(
      Suggest(pcm, {0x11, 0, 200000, 0, 0, 0, 0}, kTag | ACM_FORMATSUGGESTF_NSAMPLESPERSEC, result),
      ACMERR_NOTPOSSIBLE);
  EXPECT_EQ(
      Suggest(pcm, {0x11, 0, 0, 0, 0, 8, 0}, kTag | ACM_FORMATSUGGESTF_WBITSPERSAMPLE, result),
      ACMERR_NOTPOSSIBLE);
  EXPECT_EQ(Suggest(pcm, {2, 3, 0, 0, 0, 0, 0}, kTag | ACM_FORMATSUGGESTF_NCHANNELS, result),
            ACMERR_NOTPOSSIBLE);
  // From a codec: 16-bit PCM at its channels and rate, and nothing else.
  EXPECT_EQ(SuggestTag(ima, WAVE_FORMAT_PCM), Pcm(2, 48000));
  EXPECT_EQ(Suggest(ima, {WAVE_FORMAT_PCM, 2, 48000, 0, 0, 24, 0}, kAll, result),
            ACMERR_NOTPOSSIBLE);
  EXPECT_TRUE(SuggestTag(ima, WAVE_FORMAT_ADPCM).Empty());
}

TEST(AcmCodecs, MalformedFormatsAreRefused) {
  const auto pcm = Pcm(1, 8000);
  auto check = [&](const acm::FormatRecord& bad) {
    SCOPED_TRACE(bad.Get().wFormatTag);
    EXPECT_TRUE(SuggestTag(bad, WAVE_FORMAT_PCM).Empty());
    EXPECT_EQ(OpenQuery(bad, pcm), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(OpenQuery(pcm, bad), ACMERR_NOTPOSSIBLE);
  };
  const Bytes ima_extra = {0xF9, 0x01};  // 505 samples per block
  const WAVEFORMATEX ima{0x11, 1, 8000, 4055, 256, 4, 2};
  EXPECT_EQ(OpenQuery(Record(ima, ima_extra), pcm), MMSYSERR_NOERROR);
  // A zero alignment, a channel count out of range.
  for (auto change :
       {+[](WAVEFORMATEX& f) { f.nBlockAlign = 0; }, +[](WAVEFORMATEX& f) { f.nChannels = 3; }}) {
    WAVEFORMATEX bad = ima;
    change(bad);
    check(Record(bad, ima_extra));
  }
  check(Record(ima, {0xF8, 0x01}));  // samples per block not matching the alignment

  const auto ms = SuggestTag(pcm, WAVE_FORMAT_ADPCM);
  Bytes extra(ms.Bytes() + 18, ms.Bytes() + ms.Size());
  for (uint16_t count : {6, 8}) {  // 8 pairs are more than the 32 bytes hold
    Bytes changed = extra;
    std::memcpy(changed.data() + 2, &count, 2);
    check(Record(ms.Get(), changed));
  }
  WAVEFORMATEX alaw{WAVE_FORMAT_ALAW, 2, 8000, 16000, 1, 8, 0};
  check(Record(alaw));
}

TEST(AcmCodecs, AdpcmBlocksCodeAloneAsTheyDoTogether) {
  // Loud, quiet and silent stretches bring both of the IMA encoder's ways of choosing a nibble
  // into play; clicks, dithered near-silence and 8-bit steps at 8 kHz make the MS encoder retry
  // other predictors on many blocks, coded by one call as the conversion does. The searches of
  // the high mode code a call's blocks and channels two at a time.
  Samples mixed = Noise(44100, 2, 0.25, 0.3);
  const Samples quiet = Tone(44100, 2, 0.25, 60, 0.002);
  mixed.insert(mixed.end(), quiet.begin(), quiet.end());
  mixed.resize(mixed.size() + 2 * 3000, 0);
  const std::span<const ADPCMCOEFSET> coefficients = acm::kMsAdpcmCoefficients;
  for (const auto& [name, rate, signal] : {std::tuple{"mixed", 44100u, mixed},
                                           {"clicks", 8000u, Clicks(8000, 2, 2)},
                                           {"near-silence", 8000u, NearSilence(8000, 2, 2)},
                                           {"8-bit", 8000u, Quiet8Bit(8000, 2, 2)}})
    for (uint16_t channels : {1, 2}) {
      SCOPED_TRACE(std::string(name) + " " + std::to_string(channels));
      Samples frames(signal.size() / 2 * channels);
      for (size_t i = 0; i < frames.size(); ++i)
        frames[i] = signal[i / channels * 2 + i % channels];
      const uint32_t align = acm::StandardAdpcmBlockAlign(rate, channels);
      for (const auto& mode :
           {std::pair{false, false}, {false, true}, {true, false}, {true, true}}) {
        const bool ms = mode.first, high = mode.second;  // a lambda takes no structured binding
        const uint32_t spb = ms ? acm::MsAdpcmSamplesPerBlock(align, channels)
                                : acm::ImaSamplesPerBlock(align, channels);
        const size_t blocks = frames.size() / channels / spb;
        ASSERT_GE(blocks, 7u);
        const auto encode = [&](size_t first, size_t count, uint8_t* out) {
          const int16_t* at = &frames[first * spb * channels];
          if (ms)
            (high ? acm::MsAdpcmSearchBlocks : acm::MsAdpcmEncodeBlocks)(at, channels, spb,
                                                                         coefficients, count, out);
          else
            (high ? acm::ImaSearchBlocks : acm::ImaEncodeBlocks)(at, channels, spb, count, out);
        };
        Bytes together(blocks * align), alone(together.size());
        encode(0, blocks, together.data());
        for (size_t b = 0; b < blocks; ++b)
          encode(b, 1, &alone[b * align]);
        const auto differ = std::mismatch(together.begin(), together.end(), alone.begin());
        EXPECT_EQ(differ.first, together.end())
            << (ms ? "MS" : "IMA") << (high ? " high" : "") << " ADPCM block "
            << (differ.first - together.begin()) / align;
      }
    }
}

TEST(AcmCodecs, BlockAlignmentAndTheLastBlock) {
  const auto pcm = Pcm(1, 8000);
  const auto ima = SuggestTag(pcm, WAVE_FORMAT_IMA_ADPCM);  // 256 bytes, 505 frames a block
  Samples ramp(757);
  for (size_t i = 0; i < ramp.size(); ++i)
    ramp[i] = static_cast<int16_t>(10 * i);
  const Bytes input = AsBytes(ramp);
  TestStream encoder(pcm, ima, 8192, 1024);
  ASSERT_EQ(encoder.Convert(input.data(), static_cast<uint32_t>(input.size()) + 0, 4), 0u);
  EXPECT_EQ(encoder.Header().cbSrcLengthUsed, input.size());  // every frame; one block out
  Bytes coded = encoder.Output();
  EXPECT_EQ(coded.size(), 256u);
  ASSERT_EQ(encoder.Convert(nullptr, 0, ACM_STREAMCONVERTF_END), 0u);
  const Bytes last = encoder.Output();
  EXPECT_EQ(last.size(), 256u);  // never a short block
  coded.insert(coded.end(), last.begin(), last.end());
  EXPECT_EQ(encoder.Convert(nullptr, 0, ACM_STREAMCONVERTF_END), 0u);
  EXPECT_TRUE(encoder.Output().empty());

  // The last block repeats the last sample: no jump to zero.
  const Samples decoded = AsSamples(ConvertAll(ima, pcm, coded));
  ASSERT_EQ(decoded.size(), 1010u);
  for (size_t i = 800; i < decoded.size(); ++i)
    EXPECT_NEAR(decoded[i], 7560, 300) << i;

  // Decoding: with block alignment whole blocks only, without it the truncated block too.
  TestStream decoder(ima, pcm, 1024, 8192);
  ASSERT_EQ(decoder.Convert(coded.data(), 256 + 100, ACM_STREAMCONVERTF_BLOCKALIGN), 0u);
  EXPECT_EQ(decoder.Header().cbSrcLengthUsed, 256u);
  ASSERT_EQ(decoder.Convert(coded.data() + 256, 100, 0), 0u);
  EXPECT_EQ(decoder.Header().cbSrcLengthUsed, 100u);
  EXPECT_EQ(decoder.Output().size(), 2 * (1 + 8 * 24u));
}

TEST(AcmCodecs, SizesAndConversionsAgree) {
  const auto stereo = Pcm(2, 44100);
  const Bytes input = AsBytes(Noise(44100, 2, 0.5));
  std::vector<std::pair<acm::FormatRecord, acm::FormatRecord>> pairs;
  for (uint16_t tag : kCodecs) {
    const auto codec = SuggestTag(stereo, tag);
    pairs.push_back({stereo, codec});
    pairs.push_back({codec, stereo});
  }
  pairs.push_back({stereo, Pcm(1, 22050, 24)});
  for (const auto& [from, to] : pairs) {
    SCOPED_TRACE(std::to_string(from.Get().wFormatTag) + " to " +
                 std::to_string(to.Get().wFormatTag));
    const Bytes source =
        from.Get().wFormatTag == WAVE_FORMAT_PCM ? input : ConvertAll(stereo, from, input);
    TestStream stream(from, to, 65536, 8192);
    const uint32_t fits = stream.Size(8192, ACM_STREAMSIZEF_DESTINATION);
    ASSERT_GT(fits, 0u);
    ASSERT_EQ(stream.Convert(source.data(), fits, ACM_STREAMCONVERTF_BLOCKALIGN), 0u);
    EXPECT_EQ(stream.Header().cbSrcLengthUsed, fits);
    EXPECT_LE(stream.Size(fits, ACM_STREAMSIZEF_SOURCE), 8192 + 0u);
    ASSERT_EQ(stream.Convert(source.data(), 0, 0), 0u);
    EXPECT_TRUE(stream.Output().empty());  // nothing was kept back
  }
}

TEST(AcmG711, EveryCodeCodesBackToItselfAndSamplesTakeTheNearestLevel) {
  // The decoding tables are held to the peers'; the encoders must agree with them.
  for (int code = 0; code < 256; ++code) {
    EXPECT_EQ(acm::LinearToAlaw(acm::AlawToLinear(static_cast<uint8_t>(code))), code);
    if (code != 0x7F) {  // mu-law's negative zero codes back as positive zero
      EXPECT_EQ(acm::LinearToMulaw(acm::MulawToLinear(static_cast<uint8_t>(code))), code);
    }
  }
  for (const auto& [encode, decode] : {std::pair{&acm::LinearToAlaw, &acm::AlawToLinear},
                                       {&acm::LinearToMulaw, &acm::MulawToLinear}})
    for (int sample = -32768; sample < 32768; sample += 3) {
      const int error = std::abs(decode(encode(static_cast<int16_t>(sample))) - sample);
      for (int code = 0; code < 256; ++code)
        ASSERT_LE(error, std::abs(decode(static_cast<uint8_t>(code)) - sample)) << sample;
    }
}

TEST(AcmCodecs, RecordsShortOfTheirCodecFieldsAreRefused) {
  // Each codec's own record opens; the same record one byte short of its fields does not, in
  // either direction, and nothing is suggested from it.
  const auto pcm = Pcm(1, 8000);
  for (uint16_t tag :
       {WAVE_FORMAT_IMA_ADPCM, WAVE_FORMAT_ADPCM, WAVE_FORMAT_GSM610, WAVE_FORMAT_MPEGLAYER3}) {
    SCOPED_TRACE(tag);
    const auto whole = SuggestTag(pcm, tag);
    ASSERT_FALSE(whole.Empty());
    EXPECT_EQ(OpenQuery(whole, pcm), MMSYSERR_NOERROR);
    WAVEFORMATEX header = whole.Get();
    --header.cbSize;
    const auto cut = Record(header, Bytes(whole.Bytes() + 18, whole.Bytes() + whole.Size() - 1));
    EXPECT_EQ(OpenQuery(cut, pcm), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(OpenQuery(pcm, cut), ACMERR_NOTPOSSIBLE);
    EXPECT_TRUE(SuggestTag(cut, WAVE_FORMAT_PCM).Empty());
  }
}
