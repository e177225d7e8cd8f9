#include "wave/UKZWaveFormat.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/MemoryStream.h"

namespace {

std::unique_ptr<TKZWaveFormat> Pcm(uint16_t AChannels, uint32_t ARate, uint16_t ABits) {
  auto format = TKZWaveFormat::CreateDefault();
  format->SetBitsPerSample(ABits);  // any order
  format->SetSamplesPerSec(ARate);
  format->SetFormatTag(WAVE_FORMAT_PCM);
  format->SetChannels(AChannels);
  return format;
}

// A record as a file stores it: the header, then the given extra bytes.
std::unique_ptr<TKZWaveFormat> Read(uint16_t ATag, int32_t ASize, uint16_t ACbSize) {
  std::vector<uint8_t> bytes(static_cast<size_t>(std::max(ASize, 18)), 0);
  bytes[0] = static_cast<uint8_t>(ATag);
  bytes[1] = static_cast<uint8_t>(ATag >> 8);
  bytes[16] = static_cast<uint8_t>(ACbSize);
  TMemoryStream stream(bytes);
  return TKZWaveFormat::ReadFrom(*stream.AsStream(), ASize);
}

TEST(TKZWaveFormat, PcmDerivesItsDependentFields) {
  EXPECT_EQ(TKZWaveFormat(0).GetCapacity() + TKZWaveFormat(10).GetCapacity(), 36);
  EXPECT_EQ(TKZWaveFormat(40).GetCapacity(), 40);
  auto empty = TKZWaveFormat::CreateDefault();
  EXPECT_FALSE(empty->IsSpecified() || empty->IsComplete());
  EXPECT_THROW(empty->GetFormatTag(), Exception);

  auto cd = Pcm(2, 44100, 16);
  EXPECT_EQ(cd->GetValid(), TKZWaveFormat::fvBasic);
  ASSERT_TRUE(cd->IsComplete());
  EXPECT_EQ(cd->GetBlockAlign(), 4);
  EXPECT_EQ(cd->GetAvgBytesPerSec(), 176400u);
  EXPECT_EQ(cd->GetExtraSize(), 0);
  EXPECT_EQ(TKZWaveFormat::FormatSize(*cd->GetWaveFormatEx()), 18);
  EXPECT_EQ(Pcm(1, 8000, 8)->GetAvgBytesPerSec(), 8000u);
  EXPECT_EQ(Pcm(2, 8000, 12)->GetBlockAlign(), 2);
  EXPECT_EQ(Pcm(2, 8000, 4)->GetAvgBytesPerSec(), 0u);  // still complete

  cd->SetChannels(1);  // back to the basic fields, derived again from the new values
  EXPECT_EQ(cd->GetValid(), TKZWaveFormat::fvBasic);
  EXPECT_EQ(cd->GetBlockAlign(), 2);

  auto codec = Pcm(1, 8000, 4);
  codec->SetFormatTag(2);  // only PCM derives
  EXPECT_FALSE(codec->IsComplete());
  EXPECT_THROW(codec->GetAvgBytesPerSec(), Exception);
  EXPECT_THROW(codec->GetBytesForTime(1), Exception);

  EXPECT_EQ(Pcm(2, 44100, 16)->GetBytesForTime(3000), 529200);
  // 3 s at 1,536,000 bytes per second: the product passes 32 bits, the result does not.
  EXPECT_EQ(Pcm(2, 192000, 32)->GetBytesForTime(3000), 4608000);
  EXPECT_EQ(Pcm(2, 192000, 32)->GetBytesForTime(INT32_MAX), INT32_MAX);
  EXPECT_GE(HKZACM::MaxFormatSize(), 50);
  EXPECT_EQ(TKZWaveFormat::CreateMax()->GetCapacity(), HKZACM::MaxFormatSize());
}

TEST(TKZWaveFormat, EqualityCopiesAndLists) {
  EXPECT_TRUE(TKZWaveFormat().IsEqual(TKZWaveFormat()));
  auto basic = Pcm(2, 44100, 16), complete = Pcm(2, 44100, 16);
  complete->IsComplete();
  EXPECT_FALSE(basic->IsEqual(*complete));

  auto a = Read(0x11, 20, 2), b = Read(0x11, 20, 2);
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(a->IsEqual(*b));
  reinterpret_cast<uint8_t*>(b->GetWaveFormatEx())[19] = 0xFF;  // the second extra byte
  EXPECT_FALSE(a->IsEqual(*b));

  auto copy = CloneOf(*a);
  EXPECT_TRUE(copy->IsEqual(*a));
  copy->Assign(nullptr);
  EXPECT_FALSE(copy->IsSpecified());
  const TKZWaveFact fact;
  EXPECT_THROW(copy->Assign(&fact), EConvertError);

  TKZWaveFormatList path;
  EXPECT_EQ(path.Last(), nullptr);
  EXPECT_EQ(path.Add(*basic), 0);
  basic->SetChannels(1);
  EXPECT_EQ(path.Last()->GetChannels(), 2);
  EXPECT_EQ(path.Add(*a), 1);
  EXPECT_TRUE(path.Items(1)->IsEqual(*a));
}

TEST(TKZWaveFormat, RecordsReadAndWritten) {
  for (int32_t size : {16, 20}) {  // the old 16-byte chunk, and PCM with a stray cbSize
    auto pcm = Read(WAVE_FORMAT_PCM, size, 2);
    ASSERT_TRUE(pcm && pcm->IsComplete());
    EXPECT_EQ(pcm->GetExtraSize(), 0);
    EXPECT_EQ(TKZWaveFormat::FormatSize(*pcm->GetWaveFormatEx()), 18);
  }
  EXPECT_EQ(Read(0x11, 20, 2)->GetExtraSize(), 2);
  // Records that would make a reader run past the buffer are no records.
  EXPECT_FALSE(Read(WAVE_FORMAT_PCM, 14, 0) || Read(0x11, 16, 0) || Read(0x11, 20, 3) ||
               Read(0x11, 65538, 0));
  TMemoryStream shortStream(std::vector<uint8_t>(17, 0));
  EXPECT_EQ(TKZWaveFormat::ReadFrom(*shortStream.AsStream(), 18), nullptr);

  TMemoryStream out;
  EXPECT_TRUE(Read(0x11, 21, 3)->WriteTo(*out.AsStream()));
  EXPECT_EQ(out.Data.size(), 21u);
  EXPECT_THROW(TKZWaveFormat().WriteTo(*out.AsStream()), Exception);

  TKZWaveFact fact;
  EXPECT_THROW(fact.WriteTo(*out.AsStream()), Exception);
  fact.SetSampleCount(1000);
  out.Data.clear();
  out.Position = 0;
  EXPECT_TRUE(fact.WriteTo(*out.AsStream()));
  EXPECT_EQ(out.Data, (std::vector<uint8_t>{0xE8, 0x03, 0, 0}));
  out.Position = 0;
  int reads = 0;
  out.OnCall = [&reads](const std::string& call) { reads += call == "read"; };
  EXPECT_EQ(TKZWaveFact::ReadFrom(3, *out.AsStream()), nullptr);
  EXPECT_EQ(reads, 0);
  out.Data.resize(8);
  EXPECT_EQ(TKZWaveFact::ReadFrom(8, *out.AsStream())->GetSampleCount(), 1000);
  EXPECT_EQ(out.Position, 4);
}

}  // namespace
