// GSM 6.10 and MPEG Layer-3: records, suggestions, block rules, the flushed tail, and the MP3
// decoder's state between calls.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "platform/acm/drivers/MpegLayer3.h"
#include "tests/platform/acm/AcmTestSupport.h"

using namespace acmtest;

namespace {

constexpr uint16_t kGsm = WAVE_FORMAT_GSM610;
constexpr uint16_t kMp3 = WAVE_FORMAT_MPEGLAYER3;
constexpr uint32_t kDecodedDelay = 576 + 529;  // LAME's delay, then mpg123's

// An MP3 record with some of its fields changed.
template <typename Change>
acm::FormatRecord Mp3(const acm::FormatRecord& base, Change change) {
  MPEGLAYER3WAVEFORMAT r;
  std::memcpy(&r, base.Bytes(), sizeof r);
  change(r);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&r);
  return Record(r.wfx, Bytes(bytes + 18, bytes + 18 + std::min<size_t>(r.wfx.cbSize, 12)));
}

}  // namespace

TEST(AcmGsm, RecordsSuggestionsBlocksAndRefusals) {
  const auto pcm = Pcm(1, 8000);
  const auto gsm = SuggestTag(pcm, kGsm);
  EXPECT_EQ(SuggestTag(Float(2, 48000), kGsm),
            Record({kGsm, 1, 44100, 8958, 65, 0, 2}, {0x40, 0x01}));  // nearest rate, mono
  constexpr uint32_t kFixed = ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                              ACM_FORMATSUGGESTF_NSAMPLESPERSEC;
  acm::FormatRecord fixed;
  EXPECT_EQ(Suggest(Pcm(2, 44100), {kGsm, 1, 16000, 0, 0, 0, 0}, kFixed, fixed),
            ACMERR_NOTPOSSIBLE);
  // "GSM 6.10, 8,000 Hz, mono" from a CD-rate file, in one step each way.
  ASSERT_EQ(Suggest(Pcm(2, 44100), {kGsm, 1, 8000, 0, 0, 0, 0}, kFixed, fixed), 0u);
  EXPECT_EQ(fixed, gsm);
  const Bytes cd = AsBytes(Tone(44100, 2, 1, 300, 0.3));
  const Samples decoded = AsSamples(ConvertAll(gsm, pcm, ConvertAll(Pcm(2, 44100), gsm, cd)));
  EXPECT_GT(Snr(Tone(8000, 1, 1, 300, 0.3), decoded), 20);

  // Always an even number of 65-byte blocks: END adds the one that makes it even.
  for (const auto& [samples, bytes] : {std::pair{1, 130u}, {320, 130u}, {640, 130u}, {641, 260u}})
    EXPECT_EQ(ConvertAll(pcm, gsm, AsBytes(Noise(8000, 1, samples / 8000.0))).size(), bytes);

  const WAVEFORMATEX good{kGsm, 1, 8000, 1625, 65, 0, 2};
  EXPECT_EQ(OpenQuery(Record(good, {0x3F, 0x01}), pcm), ACMERR_NOTPOSSIBLE);  // 319 samples
  for (WAVEFORMATEX bad :
       {WAVEFORMATEX{kGsm, 1, 8000, 1625, 64, 0, 2}, {kGsm, 2, 8000, 1625, 65, 0, 2}}) {
    EXPECT_EQ(OpenQuery(Record(bad, {0x40, 0x01}), pcm), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(OpenQuery(pcm, Record(bad, {0x40, 0x01})), ACMERR_NOTPOSSIBLE);
  }
}

TEST(AcmMp3, RecordsSuggestionsListingAndRefusals) {
  // 128 kbit/s; nBlockAlign 1; wID 1, padding as ISO has it, frames of 417 bytes, one per
  // block, LAME's delay of 576 samples.
  const auto cd = SuggestTag(Pcm(2, 44100), kMp3);
  EXPECT_EQ(cd, Record({kMp3, 2, 44100, 16000, 1, 0, 12},
                       {1, 0, 0, 0, 0, 0, 0xA1, 0x01, 1, 0, 0x40, 0x02}));
  const std::pair<acm::FormatRecord, acm::FormatRecord> picks[] = {
      {Pcm(1, 11025), acm::MakeMp3Format(1, 11025, 16)},
      {Float(2, 96000), acm::MakeMp3Format(2, 48000, 128)},
      {Extensible(6, 37000, 24, 0x3F), acm::MakeMp3Format(2, 32000, 128)}};
  for (const auto& [source, expected] : picks)
    EXPECT_EQ(SuggestTag(source, kMp3), expected);
  EXPECT_TRUE(ConvertAll(Pcm(2, 44100), cd, {}).empty());  // nothing in, nothing out

  // The dialog lists every standard bitrate at every rate, mono and stereo; each one opens, and
  // one chosen whole is honoured.
  std::shared_ptr<acm::Driver> driver;
  for (const auto& d : acm::Drivers())
    if (!driver && !d->ListFormats(kMp3).empty()) driver = d;
  const auto listed = driver->ListFormats(kMp3);
  ASSERT_EQ(listed.size(), 3 * 2 * 14 + 3 * 2 * 14 + 3 * 2 * 8u);
  EXPECT_EQ(driver->Describe(listed.back().Get()), "320 kBit/s, 48,000 Hz, Stereo");
  for (const auto& format : listed)
    ASSERT_EQ(OpenQuery(Pcm(2, 44100), format), 0u) << driver->Describe(format.Get());
  const Bytes coded = ConvertAll(Pcm(2, 44100), acm::MakeMp3Format(1, 22050, 160),
                                 AsBytes(Noise(44100, 2, 2, 0.3)));
  EXPECT_NEAR(static_cast<double>(coded.size()), 2 * 20000, 3 * 523);

  // Encoding takes only records it writes; decoding also those that others write (ffmpeg:
  // nBlockAlign and nBlockSize 1,152, padding off, a delay of 1,393).
  const auto theirs = Mp3(cd, [](auto& r) {
    r.wfx.nBlockAlign = r.nBlockSize = 1152;
    r.fdwFlags = MPEGLAYER3_FLAG_PADDING_OFF;
    r.nCodecDelay = 1393;
  });
  EXPECT_EQ(OpenQuery(theirs, Pcm(2, 44100)), 0u);
  for (const auto& bad : {theirs, Mp3(cd, [](auto& r) { r.nBlockSize = 418; }),
                          Mp3(cd, [](auto& r) { r.wfx.nAvgBytesPerSec = 12500; })})
    EXPECT_EQ(OpenQuery(Pcm(2, 44100), bad), ACMERR_NOTPOSSIBLE);
  for (const auto& bad : {Mp3(cd, [](auto& r) { r.wfx.nSamplesPerSec = 44000; }),
                          Mp3(cd, [](auto& r) { r.wfx.nBlockAlign = 0; })}) {
    EXPECT_EQ(OpenQuery(bad, Pcm(2, 44100)), ACMERR_NOTPOSSIBLE);
    EXPECT_TRUE(SuggestTag(bad, WAVE_FORMAT_PCM).Empty());
  }
}

TEST(AcmMp3, RoundTripsKeepLengthAlignmentAndTheTail) {
  for (const auto& [rate, channels] :
       {std::pair{44100u, uint16_t{2}}, {22050u, uint16_t{1}}, {8000u, uint16_t{1}}}) {
    SCOPED_TRACE(std::to_string(rate) + " Hz");
    const Samples source = Sweep(rate, channels, 1.3, 0.4);
    const size_t frames = source.size() / channels, spf = acm::Mp3FrameSamples(rate);
    const Samples decoded = RoundTrip(Pcm(channels, rate), kMp3, source);
    const size_t got = decoded.size() / channels;
    EXPECT_EQ(got % spf, 0u);
    EXPECT_GE(got, frames + kDecodedDelay);  // nothing lost at the end
    EXPECT_LT(got, frames + kDecodedDelay + 3 * spf);
    EXPECT_EQ(Delay(source, decoded, channels), kDecodedDelay);
    EXPECT_GT(Snr(source, Part(decoded, kDecodedDelay * channels)), 12);
    // The last tenth of a second comes out too.
    const Samples tone = Tone(rate, channels, 1.3, 330, 0.4);
    const Samples played = RoundTrip(Pcm(channels, rate), kMp3, tone);
    const size_t tail = rate / 10 * channels, end = tone.size() + kDecodedDelay * channels;
    EXPECT_GT(Snr(Part(tone, tone.size() - tail), Part(played, end - tail, end)), 20);
  }
}

TEST(AcmMp3, DecoderKeepsWhatDoesNotFitAndSurvivesBadBytes) {
  const auto pcm = Pcm(2, 44100);
  const auto mp3 = SuggestTag(pcm, kMp3);
  const Bytes coded = ConvertAll(pcm, mp3, AsBytes(Noise(44100, 2, 1, 0.3)));
  const Bytes whole = ConvertAll(mp3, pcm, coded);
  ASSERT_FALSE(whole.empty());

  // Small buffers: what does not fit waits in the stream, and END drains it.
  EXPECT_EQ(ConvertAll(mp3, pcm, coded, 700), whole);
  TestStream small(mp3, pcm, 700, 1000);
  const uint32_t fits = small.Size(8192, ACM_STREAMSIZEF_DESTINATION);
  EXPECT_GT(fits, 500u);
  EXPECT_LE(small.Size(fits, ACM_STREAMSIZEF_SOURCE), 8192u);

  // A record with blocks, as other writers fill nBlockAlign: whole blocks with BLOCKALIGN, and
  // for less than a block nothing, not even what waits, until the call without it.
  TestStream blocks(Mp3(mp3, [](auto& r) { r.wfx.nBlockAlign = 1152; }), pcm, 4096, 4608);
  ASSERT_EQ(blocks.Convert(coded.data(), 4000, ACM_STREAMCONVERTF_BLOCKALIGN), 0u);
  EXPECT_EQ(blocks.Header().cbSrcLengthUsed, 3456u);
  EXPECT_EQ(blocks.Output().size(), 4608u);
  ASSERT_EQ(blocks.Convert(coded.data() + 3456, 544, ACM_STREAMCONVERTF_BLOCKALIGN), 0u);
  EXPECT_EQ(blocks.Header().cbSrcLengthUsed + blocks.Output().size(), 0u);
  ASSERT_EQ(blocks.Convert(coded.data() + 3456, 544, 0), 0u);
  EXPECT_EQ(blocks.Header().cbSrcLengthUsed, 544u);

  // Garbage and a stream cut short: decoded as far as they go.
  std::mt19937 random(5);
  Bytes damaged(coded.begin(), coded.begin() + 5000);
  for (int i = 0; i < 50000; ++i)
    damaged.push_back(static_cast<uint8_t>(random()));
  damaged.insert(damaged.end(), coded.data() + 6000, coded.data() + coded.size() - 301);
  const size_t recovered = ConvertAll(mp3, pcm, damaged).size();
  EXPECT_GT(recovered, whole.size() * 3 / 4);
  EXPECT_LT(recovered, whole.size() * 4);
}
