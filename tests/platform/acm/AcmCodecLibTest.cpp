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
constexpr uint32_t kTag = ACM_FORMATSUGGESTF_WFORMATTAG;
constexpr uint32_t kDecodedDelay = 576 + 529;  // LAME's delay, then mpg123's

MMRESULT OpenQuery(const acm::FormatRecord& from, const acm::FormatRecord& to) {
  return acmStreamOpen(nullptr, nullptr, &from.Get(), &to.Get(), nullptr, 0, 0,
                       ACM_STREAMOPENF_QUERY);
}

MPEGLAYER3WAVEFORMAT Mp3Fields(const acm::FormatRecord& format) {
  MPEGLAYER3WAVEFORMAT record{};
  std::memcpy(&record, format.Bytes(), std::min<size_t>(format.Size(), sizeof record));
  return record;
}

acm::FormatRecord WithMp3Fields(const MPEGLAYER3WAVEFORMAT& record) {
  return Record(record.wfx,
                Bytes(reinterpret_cast<const uint8_t*>(&record) + 18,
                      reinterpret_cast<const uint8_t*>(&record) + 18 + record.wfx.cbSize));
}

// The shift of test against reference (0 to 4,000 frames) that matches best, on channel 0.
size_t Delay(const Samples& reference, const Samples& test, uint16_t channels) {
  size_t best = 0;
  double most = -1e300;
  for (size_t d = 0; d < 4000; ++d) {
    double sum = 0;
    for (size_t i = 0; i < 20000 && (i + d) * channels < test.size(); ++i)
      sum += static_cast<double>(reference[i * channels]) * test[(i + d) * channels];
    if (sum > most) most = sum, best = d;
  }
  return best;
}

Samples From(const Samples& samples, size_t offset) {
  return Samples(samples.begin() + static_cast<ptrdiff_t>(std::min(offset, samples.size())),
                 samples.end());
}

}  // namespace

TEST(AcmGsm, RecordsSuggestionsAndEvenBlockCounts) {
  EXPECT_EQ(SuggestTag(Pcm(1, 8000), kGsm), Record({kGsm, 1, 8000, 1625, 65, 0, 2}, {0x40, 0x01}));
  const auto cd = SuggestTag(Float(2, 48000), kGsm);  // nearest rate, mono
  EXPECT_EQ(cd, Record({kGsm, 1, 44100, 8958, 65, 0, 2}, {0x40, 0x01}));
  EXPECT_EQ(SuggestTag(Pcm(1, 16000), kGsm).Get().nSamplesPerSec, 11025u);
  acm::FormatRecord result;
  EXPECT_EQ(Suggest(Pcm(2, 44100), {kGsm, 0, 16000, 0, 0, 0, 0},
                    kTag | ACM_FORMATSUGGESTF_NSAMPLESPERSEC, result),
            ACMERR_NOTPOSSIBLE);
  EXPECT_EQ(
      Suggest(Pcm(2, 44100), {kGsm, 2, 0, 0, 0, 0, 0}, kTag | ACM_FORMATSUGGESTF_NCHANNELS, result),
      ACMERR_NOTPOSSIBLE);
  // "GSM 6.10, 8,000 Hz" from a CD-rate stereo file, in one step each way.
  ASSERT_EQ(Suggest(Pcm(2, 44100), {kGsm, 0, 8000, 0, 0, 0, 0},
                    kTag | ACM_FORMATSUGGESTF_NSAMPLESPERSEC, result),
            0u);
  EXPECT_EQ(result, SuggestTag(Pcm(1, 8000), kGsm));
  const Samples decoded = AsSamples(
      ConvertAll(result, Pcm(1, 8000),
                 ConvertAll(Pcm(2, 44100), result, AsBytes(Tone(44100, 2, 1, 300, 0.3)))));
  EXPECT_GT(Snr(Tone(8000, 1, 1, 300, 0.3), decoded), 20);
  EXPECT_GT(Snr(Sweep(8000, 1, 1, 0.3), RoundTrip(Pcm(1, 8000), kGsm, Sweep(8000, 1, 1, 0.3))), 8);

  // Always an even number of 65-byte blocks; END flushes the one that makes it even.
  const auto gsm = SuggestTag(Pcm(1, 8000), kGsm);
  for (const auto& [samples, bytes] :
       {std::pair{1u, 130u}, {320u, 130u}, {640u, 130u}, {641u, 260u}, {1000u, 260u}}) {
    EXPECT_EQ(ConvertAll(Pcm(1, 8000), gsm, AsBytes(Noise(8000, 1, samples / 8000.0))).size(),
              bytes);
  }
  const Bytes block = AsBytes(Noise(8000, 1, 0.04));  // 320 samples
  TestStream encoder(Pcm(1, 8000), gsm, 640, 1024);
  ASSERT_EQ(encoder.Convert(block.data(), 640, ACM_STREAMCONVERTF_BLOCKALIGN), 0u);
  EXPECT_EQ(encoder.Output().size(), 65u);
  ASSERT_EQ(encoder.Convert(nullptr, 0, ACM_STREAMCONVERTF_END), 0u);
  EXPECT_EQ(encoder.Output().size(), 65u);
  ASSERT_EQ(encoder.Convert(nullptr, 0, ACM_STREAMCONVERTF_END), 0u);
  EXPECT_TRUE(encoder.Output().empty());

  // Decoding: whole blocks with BLOCKALIGN; without it, the first frame of a truncated block.
  const Bytes coded = ConvertAll(Pcm(1, 8000), gsm, AsBytes(Noise(8000, 1, 0.08)));
  TestStream decoder(gsm, Pcm(1, 8000), 130, 4096);
  ASSERT_EQ(decoder.Convert(coded.data(), 105, ACM_STREAMCONVERTF_BLOCKALIGN), 0u);
  EXPECT_EQ(decoder.Header().cbSrcLengthUsed, 65u);
  ASSERT_EQ(decoder.Convert(coded.data() + 65, 40, 0), 0u);
  EXPECT_EQ(decoder.Output().size(), 320u);

  const WAVEFORMATEX good{kGsm, 1, 8000, 1625, 65, 0, 2};
  for (auto change :
       {+[](WAVEFORMATEX& f) { f.nBlockAlign = 64; }, +[](WAVEFORMATEX& f) { f.cbSize = 1; },
        +[](WAVEFORMATEX& f) { f.nChannels = 2; },
        +[](WAVEFORMATEX& f) { f.nSamplesPerSec = 16000; },
        +[](WAVEFORMATEX& f) { f.wBitsPerSample = 4; }}) {
    WAVEFORMATEX bad = good;
    change(bad);
    EXPECT_EQ(OpenQuery(Record(bad, {0x40, 0x01}), Pcm(1, 8000)), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(OpenQuery(Pcm(1, 8000), Record(bad, {0x40, 0x01})), ACMERR_NOTPOSSIBLE);
  }
  EXPECT_EQ(OpenQuery(Record(good, {0x3F, 0x01}), Pcm(1, 8000)), ACMERR_NOTPOSSIBLE);
}

TEST(AcmMp3, RecordsSuggestionsAndListedFormats) {
  const auto cd = SuggestTag(Pcm(2, 44100), kMp3);
  const MPEGLAYER3WAVEFORMAT f = Mp3Fields(cd);
  EXPECT_EQ(cd.Size(), 30u);
  EXPECT_EQ(f.wfx.nAvgBytesPerSec, 16000u);  // 128 kbit/s
  EXPECT_EQ(f.wfx.nBlockAlign, 1);
  EXPECT_EQ(f.wfx.wBitsPerSample, 0);
  EXPECT_EQ(f.wfx.cbSize, 12);
  EXPECT_EQ(f.wID, MPEGLAYER3_ID_MPEG);
  EXPECT_EQ(f.fdwFlags, MPEGLAYER3_FLAG_PADDING_ISO);
  EXPECT_EQ(f.nBlockSize, 417);  // 144 × 128,000 / 44,100
  EXPECT_EQ(f.nFramesPerBlock, 1);
  EXPECT_EQ(f.nCodecDelay, 576);
  struct Pick {
    acm::FormatRecord source;
    uint16_t channels;
    uint32_t rate, bytes_per_second;
  };
  for (const Pick& p : {Pick{Pcm(1, 44100), 1, 44100, 8000}, Pick{Pcm(2, 22050), 2, 22050, 8000},
                        Pick{Pcm(1, 16000), 1, 16000, 4000}, Pick{Pcm(2, 8000), 2, 8000, 4000},
                        Pick{Pcm(1, 11025), 1, 11025, 2000}, Pick{Float(2, 96000), 2, 48000, 16000},
                        Pick{Extensible(6, 37000, 24, 0x3F), 2, 32000, 16000}}) {
    const auto made = SuggestTag(p.source, kMp3);
    EXPECT_EQ(made, acm::MakeMp3Format(p.channels, p.rate,
                                       static_cast<uint16_t>(p.bytes_per_second / 125)));
  }
  EXPECT_EQ(SuggestTag(cd, WAVE_FORMAT_PCM), Pcm(2, 44100));

  // The dialog lists every standard bitrate at every rate, mono and stereo; each one opens.
  Bytes buffer(64, 0);
  ACMFORMATDETAILSA details{};
  details.cbStruct = sizeof details;
  details.pwfx = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
  details.cbwfx = 64;
  details.pwfx->wFormatTag = kMp3;
  std::vector<std::pair<acm::FormatRecord, std::string>> listed;
  auto collect = [](HACMDRIVERID, ACMFORMATDETAILSA* d, uintptr_t to, uint32_t) -> int {
    reinterpret_cast<decltype(listed)*>(to)->push_back({acm::FormatRecord(*d->pwfx), d->szFormat});
    return 1;
  };
  ASSERT_EQ(acmFormatEnumA(nullptr, &details, collect, reinterpret_cast<uintptr_t>(&listed),
                           ACM_FORMATENUMF_WFORMATTAG),
            0u);
  ASSERT_EQ(listed.size(), 3 * 2 * 14 + 3 * 2 * 14 + 3 * 2 * 8u);
  EXPECT_EQ(listed.front().second, "8 kBit/s, 8,000 Hz, Mono");
  EXPECT_EQ(listed.back().second, "320 kBit/s, 48,000 Hz, Stereo");
  for (const auto& [format, name] : listed)
    ASSERT_EQ(OpenQuery(Pcm(2, 44100), format), 0u) << name;

  EXPECT_TRUE(ConvertAll(Pcm(2, 44100), cd, {}).empty());  // nothing in, nothing out
  // A format chosen whole is honoured: 160 kbit/s, 22,050 Hz, mono.
  const auto chosen = acm::MakeMp3Format(1, 22050, 160);
  const Bytes coded = ConvertAll(Pcm(2, 44100), chosen, AsBytes(Noise(44100, 2, 2, 0.3)));
  EXPECT_NEAR(static_cast<double>(coded.size()), 2 * 20000, 3 * 523);

  // Encoding takes only its own records; decoding also the ones other writers make.
  MPEGLAYER3WAVEFORMAT theirs = f;  // as ffmpeg writes them
  theirs.wfx.nBlockAlign = 1152;
  theirs.fdwFlags = MPEGLAYER3_FLAG_PADDING_OFF;
  theirs.nBlockSize = 1152;
  theirs.nCodecDelay = 1393;
  EXPECT_EQ(OpenQuery(WithMp3Fields(theirs), Pcm(2, 44100)), 0u);
  EXPECT_EQ(OpenQuery(Pcm(2, 44100), WithMp3Fields(theirs)), ACMERR_NOTPOSSIBLE);
  for (auto change : {+[](MPEGLAYER3WAVEFORMAT& r) { r.nBlockSize = 418; },
                      +[](MPEGLAYER3WAVEFORMAT& r) { r.wfx.nAvgBytesPerSec = 12500; },
                      +[](MPEGLAYER3WAVEFORMAT& r) { r.nFramesPerBlock = 2; },
                      +[](MPEGLAYER3WAVEFORMAT& r) { r.wfx.wBitsPerSample = 16; }})
    EXPECT_EQ(OpenQuery(Pcm(2, 44100), WithMp3Fields([&] {
                          MPEGLAYER3WAVEFORMAT bad = f;
                          change(bad);
                          return bad;
                        }())),
              ACMERR_NOTPOSSIBLE);
  auto mpeg25 = Mp3Fields(acm::MakeMp3Format(1, 8000, 64));
  mpeg25.wfx.nAvgBytesPerSec = 10000;  // 80 kbit/s: not at 8,000 Hz
  mpeg25.nBlockSize = 720;
  EXPECT_EQ(OpenQuery(Pcm(1, 8000), WithMp3Fields(mpeg25)), ACMERR_NOTPOSSIBLE);
  for (auto change : {+[](MPEGLAYER3WAVEFORMAT& r) { r.wfx.cbSize = 11; },
                      +[](MPEGLAYER3WAVEFORMAT& r) { r.wID = 2; },
                      +[](MPEGLAYER3WAVEFORMAT& r) { r.wfx.nChannels = 3; },
                      +[](MPEGLAYER3WAVEFORMAT& r) { r.wfx.nSamplesPerSec = 44000; },
                      +[](MPEGLAYER3WAVEFORMAT& r) { r.wfx.nBlockAlign = 0; }}) {
    MPEGLAYER3WAVEFORMAT bad = f;
    change(bad);
    EXPECT_EQ(OpenQuery(WithMp3Fields(bad), Pcm(2, 44100)), ACMERR_NOTPOSSIBLE);
    EXPECT_TRUE(SuggestTag(WithMp3Fields(bad), WAVE_FORMAT_PCM).Empty());
  }
}

TEST(AcmMp3, RoundTripsKeepLengthAlignmentAndTheTail) {
  for (const auto& [rate, channels] :
       {std::pair{44100u, uint16_t{2}}, {22050u, uint16_t{1}}, {8000u, uint16_t{1}}}) {
    SCOPED_TRACE(std::to_string(rate) + " Hz");
    const Samples source = Sweep(rate, channels, 1.3, 0.4);
    const size_t frames = source.size() / channels;
    const Samples decoded = RoundTrip(Pcm(channels, rate), kMp3, source);
    const size_t got = decoded.size() / channels, spf = acm::Mp3FrameSamples(rate);
    EXPECT_EQ(got % spf, 0u);
    EXPECT_GE(got, frames + kDecodedDelay);  // nothing lost at the end
    EXPECT_LT(got, frames + kDecodedDelay + 3 * spf);
    EXPECT_EQ(Delay(source, decoded, channels), kDecodedDelay);
    EXPECT_GT(Snr(source, From(decoded, kDecodedDelay * channels)), 12);
    // The last tenth of a second comes out too.
    const Samples tone = Tone(rate, channels, 1.3, 330, 0.4);
    const Samples played =
        From(RoundTrip(Pcm(channels, rate), kMp3, tone), kDecodedDelay * channels);
    const auto tail = static_cast<ptrdiff_t>(rate / 10 * channels);
    ASSERT_GE(played.size(), tone.size());
    EXPECT_GT(Snr(Samples(tone.end() - tail, tone.end()),
                  Samples(played.begin() + static_cast<ptrdiff_t>(tone.size()) - tail,
                          played.begin() + static_cast<ptrdiff_t>(tone.size()))),
              20);
  }
  // Six channels of 24 bits at 96 kHz reach 48 kHz stereo in one step, in time.
  const auto source = Extensible(6, 96000, 24, 0x3F);
  const auto mp3 = SuggestTag(source, kMp3);
  const Samples expected = Sweep(48000, 2, 1, 0.3);
  Samples six;
  for (int16_t v :
       AsSamples(ConvertAll(Pcm(1, 48000), Pcm(1, 96000), AsBytes(Sweep(48000, 1, 1, 0.3)))))
    six.insert(six.end(), 6, v);
  const Bytes wide = ConvertAll(Pcm(6, 96000), source, AsBytes(six));
  const Samples decoded = AsSamples(ConvertAll(mp3, Pcm(2, 48000), ConvertAll(source, mp3, wide)));
  EXPECT_EQ(Delay(expected, decoded, 2), kDecodedDelay);
  EXPECT_GT(Snr(expected, From(decoded, kDecodedDelay * 2)), 12);
}

TEST(AcmMp3, DecoderKeepsWhatDoesNotFitAndSurvivesBadBytes) {
  const auto pcm = Pcm(2, 44100);
  const auto mp3 = SuggestTag(pcm, kMp3);
  const Bytes coded = ConvertAll(pcm, mp3, AsBytes(Noise(44100, 2, 1, 0.3)));
  const Bytes whole = ConvertAll(mp3, pcm, coded);
  ASSERT_FALSE(whole.empty());

  // A small destination: every byte given is taken, the rest of the decode waits.
  TestStream small(mp3, pcm, 700, 1000);
  Bytes pieces;
  for (size_t at = 0; at < coded.size(); at += 700) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(700, coded.size() - at));
    ASSERT_EQ(small.Convert(coded.data() + at, n, ACM_STREAMCONVERTF_BLOCKALIGN), 0u);
    EXPECT_EQ(small.Header().cbSrcLengthUsed, n);
    const Bytes out = small.Output();
    pieces.insert(pieces.end(), out.begin(), out.end());
  }
  for (int calls = 0; calls < 10000; ++calls) {
    ASSERT_EQ(small.Convert(nullptr, 0, ACM_STREAMCONVERTF_END), 0u);
    const Bytes out = small.Output();
    if (out.empty()) break;
    pieces.insert(pieces.end(), out.begin(), out.end());
  }
  EXPECT_EQ(pieces, whole);
  const uint32_t fits = small.Size(8192, ACM_STREAMSIZEF_DESTINATION);
  EXPECT_GT(fits, 500u);
  EXPECT_LE(small.Size(fits, ACM_STREAMSIZEF_SOURCE), 8192u);

  // A record with blocks (as other writers fill nBlockAlign): whole blocks with BLOCKALIGN.
  MPEGLAYER3WAVEFORMAT theirs = Mp3Fields(mp3);
  theirs.wfx.nBlockAlign = 1152;
  TestStream blocks(WithMp3Fields(theirs), pcm, 4096, 4608);
  ASSERT_EQ(blocks.Convert(coded.data(), 4000, ACM_STREAMCONVERTF_BLOCKALIGN), 0u);
  EXPECT_EQ(blocks.Header().cbSrcLengthUsed, 3456u);
  EXPECT_EQ(blocks.Output().size(), 4608u);  // more waits
  // Less than a block: nothing, not even what waits, until the call without BLOCKALIGN.
  ASSERT_EQ(blocks.Convert(coded.data() + 3456, 544, ACM_STREAMCONVERTF_BLOCKALIGN), 0u);
  EXPECT_EQ(blocks.Header().cbSrcLengthUsed + blocks.Output().size(), 0u);
  ASSERT_EQ(blocks.Convert(coded.data() + 3456, 544, 0), 0u);
  EXPECT_EQ(blocks.Header().cbSrcLengthUsed, 544u);
  EXPECT_EQ(blocks.Output().size(), 4608u);

  // Garbage, truncated frames and a stream cut short: decoded as far as they go, no further.
  std::mt19937 random(5);
  Bytes garbage(50000);
  for (auto& b : garbage)
    b = static_cast<uint8_t>(random());
  Bytes damaged;
  damaged.reserve(2 * coded.size() + garbage.size());
  auto append = [&](const uint8_t* from, size_t count) {
    damaged.insert(damaged.end(), from, from + count);
  };
  append(coded.data(), 5000);
  append(garbage.data(), garbage.size());
  for (size_t i = 0; i < 2000; i += 37)
    append(coded.data() + 6000 + i, 11);
  append(coded.data() + 6000, coded.size() - 6301);
  const Bytes recovered = ConvertAll(mp3, pcm, damaged);
  EXPECT_GT(recovered.size(), whole.size() * 3 / 4);
  EXPECT_LT(recovered.size(), whole.size() * 4);
  ConvertAll(mp3, pcm, garbage);

  // START begins a new signal: the same bytes decode the same again.
  TestStream again(mp3, pcm, 8192, 1 << 20);
  Bytes first, second;
  for (Bytes* out : {&first, &second}) {
    ASSERT_EQ(again.Convert(coded.data(), 8192, ACM_STREAMCONVERTF_START), 0u);
    *out = again.Output();
  }
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(first, second);
}
