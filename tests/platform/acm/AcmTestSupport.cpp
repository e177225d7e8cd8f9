#include "tests/platform/acm/AcmTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "platform/acm/AcmSamples.h"

namespace acmtest {

acm::FormatRecord Pcm(uint16_t channels, uint32_t rate, uint16_t bits) {
  const auto type = bits == 8    ? acm::SampleType::kUnsigned8
                    : bits == 24 ? acm::SampleType::kSigned24
                    : bits == 32 ? acm::SampleType::kSigned32
                                 : acm::SampleType::kSigned16;
  return acm::MakeLinearRecord(type, channels, rate);
}

acm::FormatRecord Float(uint16_t channels, uint32_t rate) {
  return acm::MakeLinearRecord(acm::SampleType::kFloat32, channels, rate);
}

acm::FormatRecord Extensible(uint16_t channels, uint32_t rate, uint16_t bits, uint32_t mask,
                             bool is_float) {
  const auto align = static_cast<uint16_t>(channels * bits / 8);
  WAVEFORMATEXTENSIBLE x{};
  x.Format = {WAVE_FORMAT_EXTENSIBLE, channels, rate, rate * align, align, bits, 22};
  x.Samples.wValidBitsPerSample = bits;
  x.dwChannelMask = mask;
  x.SubFormat = is_float ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
  return acm::FormatRecord(x.Format);
}

acm::FormatRecord Record(const WAVEFORMATEX& header, const Bytes& extra) {
  return acm::FormatRecord(header, extra);
}

MMRESULT Suggest(const acm::FormatRecord& source, const WAVEFORMATEX& templ, uint32_t flags,
                 acm::FormatRecord& result) {
  Bytes buffer(1024, 0);
  std::memcpy(buffer.data(), &templ, sizeof templ);
  auto* out = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
  const MMRESULT r = acmFormatSuggest(nullptr, &source.Get(), out, 1024, flags);
  result = r ? acm::FormatRecord() : acm::FormatRecord(*out);
  return r;
}

acm::FormatRecord SuggestTag(const acm::FormatRecord& source, uint16_t tag) {
  acm::FormatRecord result;
  Suggest(source, {tag, 0, 0, 0, 0, 0, 0}, ACM_FORMATSUGGESTF_WFORMATTAG, result);
  return result;
}

MMRESULT OpenQuery(const acm::FormatRecord& from, const acm::FormatRecord& to) {
  return acmStreamOpen(nullptr, nullptr, &from.Get(), &to.Get(), nullptr, 0, 0,
                       ACM_STREAMOPENF_QUERY);
}

TestStream::TestStream(const acm::FormatRecord& from, const acm::FormatRecord& to,
                       uint32_t source_size, uint32_t destination_size)
    : source_(std::max<uint32_t>(source_size, 1)), destination_(destination_size) {
  if (acmStreamOpen(&handle_, nullptr, &from.Get(), &to.Get(), nullptr, 0, 0, 0)) return;
  header_.cbStruct = ACMSTREAMHEADER_MIN_CBSTRUCT;
  header_.pbSrc = source_.data();
  header_.cbSrcLength = static_cast<uint32_t>(source_.size());
  header_.pbDst = destination_.data();
  header_.cbDstLength = destination_size;
  EXPECT_EQ(acmStreamPrepareHeader(handle_, &header_, 0), MMSYSERR_NOERROR);
}

TestStream::~TestStream() {
  if (!handle_) return;
  header_.cbSrcLength = static_cast<uint32_t>(source_.size());
  EXPECT_EQ(acmStreamUnprepareHeader(handle_, &header_, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(acmStreamClose(handle_, 0), MMSYSERR_NOERROR);
}

MMRESULT TestStream::Convert(const uint8_t* source, uint32_t count, uint32_t flags) {
  if (count > source_.size()) return MMSYSERR_INVALPARAM;
  if (count) std::memmove(source_.data(), source, count);
  header_.cbSrcLength = count;
  const MMRESULT r = acmStreamConvert(handle_, &header_, flags);
  EXPECT_LE(header_.cbSrcLengthUsed, count);
  EXPECT_LE(header_.cbDstLengthUsed, header_.cbDstLength);
  return r;
}

Bytes TestStream::Output() const {
  return Bytes(destination_.begin(), destination_.begin() + header_.cbDstLengthUsed);
}

uint32_t TestStream::Size(uint32_t bytes, uint32_t flags) const {
  uint32_t size = 0;
  EXPECT_EQ(acmStreamSize(handle_, bytes, &size, flags), MMSYSERR_NOERROR);
  return size;
}

Bytes ConvertAll(const acm::FormatRecord& from, const acm::FormatRecord& to, const Bytes& input,
                 uint32_t chunk) {
  uint32_t room = 0;
  {
    TestStream probe(from, to, 1, 1);
    if (!probe.Open()) {
      ADD_FAILURE() << "cannot open the conversion";
      return {};
    }
    room = std::max<uint32_t>(probe.Size(chunk, ACM_STREAMSIZEF_SOURCE), 1);
  }
  TestStream stream(from, to, chunk, room);
  Bytes output, pending;
  size_t position = 0;
  for (int calls = 0; calls < 1'000'000; ++calls) {
    const size_t take = std::min<size_t>(chunk - pending.size(), input.size() - position);
    pending.insert(pending.end(), input.begin() + position, input.begin() + position + take);
    position += take;
    const bool last = position == input.size();
    const uint32_t flags = last ? ACM_STREAMCONVERTF_END : ACM_STREAMCONVERTF_BLOCKALIGN;
    if (stream.Convert(pending.data(), static_cast<uint32_t>(pending.size()), flags)) {
      ADD_FAILURE() << "conversion failed";
      break;
    }
    const Bytes out = stream.Output();
    output.insert(output.end(), out.begin(), out.end());
    pending.erase(pending.begin(), pending.begin() + stream.Header().cbSrcLengthUsed);
    if (last && pending.empty() && out.empty()) break;
  }
  return output;
}

namespace {

int16_t Saturate(double v) {
  return static_cast<int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
}

}  // namespace

Samples Clicks(uint32_t rate, uint16_t channels, double seconds) {
  const auto frames = static_cast<size_t>(rate * seconds);
  Samples s(frames * channels, 0);
  std::mt19937 random(5);
  for (size_t at = 0; at + 400 < frames; at += 300 + random() % 1500) {
    const bool hit = random() % 2;  // a click, or a decaying drum hit
    const double freq = 60.0 + random() % 200, sign = random() % 2 ? 1 : -1;
    for (size_t j = 0; j < (hit ? 400u : 3u); ++j)
      for (uint16_t c = 0; c < channels; ++c)
        s[(at + j) * channels + c] = Saturate(hit ? 6563 * std::exp(-double(j) / 60) *
                                                        std::sin(2 * M_PI * freq * j / rate + 1)
                                                  : sign * 6563 * (j == 1 ? 1 : -0.5));
  }
  return s;
}

Samples NearSilence(uint32_t rate, uint16_t channels, double seconds) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> one(-1, 1);
  Samples s(static_cast<size_t>(rate * seconds) * channels);
  for (auto& v : s)
    v = static_cast<int16_t>(one(random) + one(random));
  return s;
}

Samples Quiet8Bit(uint32_t rate, uint16_t channels, double seconds) {
  Samples s = Tone(rate, channels, seconds, 220, 0.012);
  const Samples n = Noise(rate, channels, seconds, 0.004);
  for (size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<int16_t>(std::lround((s[i] + n[i]) / 256.0) * 256);
  return s;
}

Samples Music(uint32_t rate, uint16_t channels, double seconds) {
  const auto frames = static_cast<size_t>(rate * seconds);
  Samples s(frames * channels);
  constexpr double kNotes[] = {220, 277.2, 329.6, 440, 164.8, 246.9, 196, 293.7};
  const size_t beat = rate / 4;
  for (size_t i = 0; i < frames; ++i)
    for (uint16_t c = 0; c < channels; ++c) {
      double v = 0;
      const double t = double(i % beat) / rate, decay = std::exp(-3 * t);
      for (int k = 0; k < 3; ++k) {
        const double f = kNotes[(i / beat + 3 * k + c) % 8];
        for (int h = 1; h <= 4; ++h)
          v += decay / h * std::sin(2 * M_PI * f * h * double(i) / rate);
      }
      s[i * channels + c] = Saturate(v * 4000);
    }
  return s;
}

Samples RoundTrip(const acm::FormatRecord& pcm, uint16_t tag, const Samples& input) {
  const acm::FormatRecord codec = SuggestTag(pcm, tag);
  if (codec.Empty()) {
    ADD_FAILURE() << "no suggestion for tag " << tag;
    return {};
  }
  const Bytes coded = ConvertAll(pcm, codec, AsBytes(input));
  return AsSamples(ConvertAll(codec, SuggestTag(codec, WAVE_FORMAT_PCM), coded));
}

}  // namespace acmtest
