#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/acm/Acm.h"
#include "platform/acm/AcmDriver.h"
#include "tests/platform/acm/AcmTestSupport.h"
#include "tests/support/FakeCodec.h"

using namespace acmtest;

namespace {

uint32_t MaxFormatSize() {
  uint32_t size = 0;
  EXPECT_EQ(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &size), MMSYSERR_NOERROR);
  return size;
}

// Collects the names the enumerations hand their callbacks.
int CollectTag(HACMDRIVERID, ACMFORMATTAGDETAILSA* details, uintptr_t instance, uint32_t) {
  reinterpret_cast<std::vector<std::string>*>(instance)->push_back(details->szFormatTag);
  return 1;
}
int CollectFormat(HACMDRIVERID, ACMFORMATDETAILSA* details, uintptr_t instance, uint32_t) {
  reinterpret_cast<std::vector<std::string>*>(instance)->push_back(details->szFormat);
  return 1;
}

}  // namespace

TEST(AcmManager, CallsRefuseBadArguments) {
  EXPECT_EQ(acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, nullptr), MMSYSERR_INVALPARAM);

  const auto pcm = Pcm(2, 44100);
  Bytes buffer(64, 0);
  auto* out = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
  out->wFormatTag = WAVE_FORMAT_IMA_ADPCM;
  EXPECT_EQ(acmFormatSuggest(nullptr, &pcm.Get(), out, 64, 1), MMSYSERR_INVALFLAG);
  EXPECT_EQ(acmFormatSuggest(nullptr, nullptr, out, 64, 0), MMSYSERR_INVALPARAM);
  // The IMA record needs 20 bytes.
  EXPECT_EQ(acmFormatSuggest(nullptr, &pcm.Get(), out, 18, ACM_FORMATSUGGESTF_WFORMATTAG),
            MMSYSERR_INVALPARAM);

  const auto ima = SuggestTag(pcm, WAVE_FORMAT_IMA_ADPCM), ms = SuggestTag(pcm, WAVE_FORMAT_ADPCM);
  HACMSTREAM stream = reinterpret_cast<HACMSTREAM>(1);
  const auto open = [&](HACMSTREAM* handle, const acm::FormatRecord& to, uint32_t flags) {
    return acmStreamOpen(handle, nullptr, &pcm.Get(), &to.Get(), nullptr, 0, 0, flags);
  };
  EXPECT_EQ(acmStreamOpen(&stream, nullptr, &ima.Get(), &ms.Get(), nullptr, 0, 0, 0),
            ACMERR_NOTPOSSIBLE);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(open(nullptr, ima, ACM_STREAMOPENF_QUERY), MMSYSERR_NOERROR);
  EXPECT_EQ(open(&stream, ima, 0x100), MMSYSERR_INVALFLAG);
  EXPECT_EQ(open(nullptr, ima, 0), MMSYSERR_INVALPARAM);

  // The format choice: no dialog installed, a record too small for the choice.
  WAVEFORMATEX restriction{WAVE_FORMAT_ADPCM, 0, 0, 0, 0, 0, 0};
  ACMFORMATCHOOSEA choose{};
  choose.cbStruct = 232;
  choose.pwfx = out;
  choose.cbwfx = 50;
  choose.fdwEnum = ACM_FORMATENUMF_WFORMATTAG;
  choose.pwfxEnum = &restriction;
  EXPECT_EQ(acmFormatChooseA(&choose), ACMERR_CANCELED);
  acm::SetFormatChooseDialog([](ACMFORMATCHOOSEA& request) -> MMRESULT {
    return acm::StoreFormatChoice(request, acm::ListFormatChoices(request).at(0));
  });
  choose.cbwfx = 20;
  EXPECT_EQ(acmFormatChooseA(&choose), MMSYSERR_INVALPARAM);
  EXPECT_TRUE(acm::SetFormatChooseDialog(nullptr));
}

TEST(AcmManager, HeadersFollowThePreparationRules) {
  const auto pcm = Pcm(1, 8000);
  TestStream stream(pcm, SuggestTag(pcm, WAVE_FORMAT_ALAW), 1000, 1000);
  ASSERT_TRUE(stream.Open());
  ACMSTREAMHEADER& header = stream.Header();
  EXPECT_TRUE(header.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED);

  ACMSTREAMHEADER other = header;  // never prepared
  EXPECT_EQ(acmStreamConvert(stream.Handle(), &other, 0), ACMERR_UNPREPARED);
  EXPECT_EQ(acmStreamConvert(stream.Handle(), &header, 0x40), MMSYSERR_INVALFLAG);
  header.cbSrcLength = 1001;  // longer than prepared
  EXPECT_EQ(acmStreamConvert(stream.Handle(), &header, 0), MMSYSERR_INVALPARAM);
  header.cbSrcLength = 10;
  EXPECT_EQ(acmStreamConvert(stream.Handle(), &header, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(header.cbSrcLengthUsed, 10u);
  EXPECT_EQ(header.cbDstLengthUsed, 5u);
  // Unpreparing needs the prepared lengths back.
  EXPECT_EQ(acmStreamUnprepareHeader(stream.Handle(), &header, 0), MMSYSERR_INVALPARAM);
  header.cbStruct = 83;  // shorter than the record: nothing of it is read
  EXPECT_EQ(acmStreamConvert(stream.Handle(), &header, 0), MMSYSERR_INVALPARAM);
  header.cbStruct = 84;

  uint32_t size = 0;
  const auto ima = SuggestTag(Pcm(2, 44100), WAVE_FORMAT_IMA_ADPCM);
  TestStream decoder(ima, SuggestTag(ima, WAVE_FORMAT_PCM), 1, 1);
  EXPECT_EQ(acmStreamSize(decoder.Handle(), 0xFFFFFFFF, &size, ACM_STREAMSIZEF_SOURCE),
            ACMERR_NOTPOSSIBLE);  // four times the bytes do not fit 32 bits

  HACMSTREAM closed = nullptr;
  ASSERT_EQ(acmStreamOpen(&closed, nullptr, &pcm.Get(), &pcm.Get(), nullptr, 0, 0, 0), 0u);
  EXPECT_EQ(acmStreamClose(closed, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(acmStreamClose(closed, 0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(acmStreamSize(closed, 10, &size, 0), MMSYSERR_INVALHANDLE);
}

TEST(AcmManager, RegisteredDriversAreAskedFirstUntilRemoved) {
  // Codecs that only take 16-bit stereo PCM at 22,050 Hz, as path searches meet them.
  const auto fits = Pcm(2, 22050), other = Pcm(2, 44100);
  const auto only = [](const WAVEFORMATEX& f) {
    return f.nChannels == 2 && f.nSamplesPerSec == 22050 && f.wBitsPerSample == 16;
  };
  EXPECT_TRUE(SuggestTag(fits, 0x7001).Empty());
  {
    TFakeCodecScope fake(0x7001, 64);
    fake->Accepts = only;
    fake->BlockBytes = 100;
    EXPECT_EQ(SuggestTag(fits, 0x7001).Get().nBlockAlign, 100);
    EXPECT_TRUE(SuggestTag(other, 0x7001).Empty());
    EXPECT_EQ(MaxFormatSize(), 64u);
    // It can stand in for a built-in tag; where it refuses, the built-in driver answers.
    TFakeCodecScope ima(WAVE_FORMAT_IMA_ADPCM);
    ima->Accepts = only;
    ima->BlockBytes = 100;
    EXPECT_EQ(SuggestTag(fits, WAVE_FORMAT_IMA_ADPCM).Get().nBlockAlign, 100);
    EXPECT_EQ(SuggestTag(other, WAVE_FORMAT_IMA_ADPCM).Get().nBlockAlign, 2048);
  }
  EXPECT_TRUE(SuggestTag(fits, 0x7001).Empty());
  EXPECT_EQ(SuggestTag(fits, WAVE_FORMAT_IMA_ADPCM).Get().nBlockAlign, 1024);
  EXPECT_EQ(MaxFormatSize(), 50u);  // an MS ADPCM record
}

TEST(AcmManager, TagsAndFormatsAreListedWithNames) {
  std::vector<std::string> names;
  ACMFORMATTAGDETAILSA tag{};
  tag.cbStruct = sizeof tag;
  ASSERT_EQ(acmFormatTagEnumA(nullptr, &tag, CollectTag, reinterpret_cast<uintptr_t>(&names), 0),
            MMSYSERR_NOERROR);
  EXPECT_EQ(names, (std::vector<std::string>{"PCM", "IEEE Float", "IMA ADPCM", "MS ADPCM", "A-Law",
                                             "mu-Law", "GSM 6.10", "MPEG Layer-3"}));

  Bytes buffer(64, 0);
  ACMFORMATDETAILSA details{};
  details.cbStruct = sizeof details;
  details.pwfx = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
  details.cbwfx = 64;
  details.pwfx->wFormatTag = WAVE_FORMAT_IMA_ADPCM;
  // The restrictions themselves are the format choice's, whose suites check them.
  names.clear();
  ASSERT_EQ(acmFormatEnumA(nullptr, &details, CollectFormat, reinterpret_cast<uintptr_t>(&names),
                           ACM_FORMATENUMF_WFORMATTAG),
            MMSYSERR_NOERROR);
  ASSERT_EQ(names.size(), 14u);  // seven rates, mono and stereo
  EXPECT_EQ(names[0], "8,000 Hz, 4 Bit, Mono");
  std::memcpy(buffer.data(), Pcm(1, 8000).Bytes(), 18);
  ASSERT_EQ(acmFormatDetailsA(nullptr, &details, ACM_FORMATDETAILSF_FORMAT), 0u);
  EXPECT_STREQ(details.szFormat, "8,000 Hz, 16 Bit, Mono");
}
