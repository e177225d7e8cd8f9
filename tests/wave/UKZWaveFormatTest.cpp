#include "wave/UKZWaveFormat.h"

#include <gtest/gtest.h>

#include "tests/support/WaveFiles.h"

namespace {

// A PCM format made field by field (in any order), its dependent fields derived.
std::unique_ptr<TKZWaveFormat> PcmFormat(uint16_t AChannels, uint32_t ARate, uint16_t ABits) {
  auto format = TKZWaveFormat::CreateDefault();
  format->SetBitsPerSample(ABits);
  format->SetSamplesPerSec(ARate);
  format->SetFormatTag(WAVE_FORMAT_PCM);
  format->SetChannels(AChannels);
  return format;
}

// A record of ASize bytes as a chunk stores it.
std::unique_ptr<TKZWaveFormat> Read(uint16_t ATag, int32_t ASize, uint16_t ACbSize) {
  TMemoryStream stream(Record(ATag, 1, 8000, 4, static_cast<size_t>(ASize), ACbSize));
  return TKZWaveFormat::ReadFrom(*stream.AsStream(), ASize);
}

TEST(TKZWaveFormat, PcmDerivesItsDependentFields) {
  auto empty = TKZWaveFormat::CreateDefault();
  EXPECT_FALSE(empty->IsSpecified() || empty->IsComplete());
  EXPECT_THROW(empty->GetFormatTag(), Exception);
  auto format = PcmFormat(2, 44100, 16);
  EXPECT_EQ(format->GetValid(), TKZWaveFormat::fvBasic);
  EXPECT_EQ(format->GetBlockAlign() + format->GetExtraSize(), 4);
  EXPECT_EQ(format->GetAvgBytesPerSec(), 176400u);
  EXPECT_EQ(TKZWaveFormat::FormatSize(*format->GetWaveFormatEx()), 18);
  format->SetChannels(1);  // back to the basic fields, derived again from the new values
  EXPECT_EQ(format->GetValid(), TKZWaveFormat::fvBasic);
  EXPECT_EQ(format->GetBlockAlign(), 2);
  EXPECT_EQ(PcmFormat(2, 8000, 12)->GetBlockAlign(), 2);
  EXPECT_EQ(PcmFormat(2, 8000, 4)->GetAvgBytesPerSec(), 0u);  // and still complete
  format->SetFormatTag(2);                                    // only PCM derives
  EXPECT_FALSE(format->IsComplete());
  EXPECT_THROW(format->GetBytesForTime(1), Exception);

  // 3 s at 1,536,000 bytes per second: the product passes 32 bits, the result does not.
  EXPECT_EQ(PcmFormat(2, 192000, 32)->GetBytesForTime(3000), 4608000);
  EXPECT_EQ(PcmFormat(2, 192000, 32)->GetBytesForTime(INT32_MAX), INT32_MAX);
}

TEST(TKZWaveFormat, EqualityCopiesAndLists) {
  auto basic = TKZWaveFormat::CreateDefault();
  basic->Assign(MakeLinear(1, 2, 44100, 16).get());
  basic->SetChannels(2);
  EXPECT_FALSE(basic->IsEqual(*MakeLinear(1, 2, 44100, 16)));  // not derived yet

  auto a = Read(0x11, 20, 2), b = Read(0x11, 20, 2);
  EXPECT_TRUE(a->IsEqual(*b));
  reinterpret_cast<uint8_t*>(b->GetWaveFormatEx())[19] = 0xFF;  // the second extra byte
  EXPECT_FALSE(a->IsEqual(*b));
  auto copy = CloneOf(*a);
  EXPECT_TRUE(copy->IsEqual(*a));
  copy->Assign(nullptr);
  EXPECT_FALSE(copy->IsSpecified());
  const TKZWaveFact fact;
  EXPECT_THROW(copy->Assign(&fact), EConvertError);

  TKZWaveFormatList path;  // holds copies
  EXPECT_EQ(path.Last(), nullptr);
  EXPECT_EQ(path.Add(*basic), 0);
  EXPECT_EQ(path.Add(*a), 1);
  basic->SetChannels(1);
  EXPECT_EQ(path.Items(0)->GetChannels(), 2);
  EXPECT_TRUE(path.Last()->IsEqual(*a));
}

TEST(TKZWaveFormat, RecordsAndCountsReadAndWritten) {
  for (int32_t size : {16, 20}) {  // the old 16-byte chunk, and PCM with a stray cbSize 2
    auto pcm = Read(WAVE_FORMAT_PCM, size, 2);
    EXPECT_EQ(pcm->GetExtraSize(), 0);
    EXPECT_EQ(TKZWaveFormat::FormatSize(*pcm->GetWaveFormatEx()), 18);
  }
  EXPECT_EQ(Read(0x11, 20, 2)->GetExtraSize(), 2);
  // Records that would make a reader run past the buffer are no records.
  EXPECT_FALSE(Read(WAVE_FORMAT_PCM, 14, 0) || Read(0x11, 16, 0) || Read(0x11, 20, 3) ||
               Read(0x11, 65538, 0));
  TMemoryStream shorter(Bytes(17, 0)), out;
  EXPECT_EQ(TKZWaveFormat::ReadFrom(*shorter.AsStream(), 18), nullptr);  // fewer bytes came
  EXPECT_TRUE(Read(0x11, 21, 3)->WriteTo(*out.AsStream()));
  EXPECT_EQ(out.Data.size(), 21u);
  EXPECT_THROW(TKZWaveFormat().WriteTo(*out.AsStream()), Exception);

  TKZWaveFact fact;
  EXPECT_THROW(fact.WriteTo(*out.AsStream()), Exception);
  fact.SetSampleCount(1000);
  out.Position = 0;
  EXPECT_TRUE(fact.WriteTo(*out.AsStream()));
  EXPECT_EQ(Bytes(out.Data.begin(), out.Data.begin() + 4), (Bytes{0xE8, 0x03, 0, 0}));
  out.Position = 0;
  EXPECT_EQ(TKZWaveFact::ReadFrom(3, *out.AsStream()), nullptr);
  EXPECT_EQ(out.Position, 0);  // nothing read
  EXPECT_EQ(TKZWaveFact::ReadFrom(8, *out.AsStream())->GetSampleCount(), 1000);
  EXPECT_EQ(out.Position, 4);
}

}  // namespace
