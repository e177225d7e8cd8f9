// Linear sources beyond 8, 16, 24 and 32-bit PCM and 32-bit float: 64-bit float, samples of 12
// or 20 bits in whole-byte containers, extensible records with fewer valid bits, float records
// without cbSize. Each is converted to PCM and must still carry its tones.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "platform/acm/Acm.h"
#include "tests/factory/FactoryTestSupport.h"
#include "tests/support/Peers.h"

namespace {

constexpr uint32_t kRate = 8000;
constexpr int32_t kFrames = 4000;

// A wave file's bytes: a fmt record as given, then the data.
Bytes WaveBytes(const Bytes& ARecord, const Bytes& AData) {
  return Riff("WAVE", {Chunk("fmt ", ARecord), Chunk("data", AData)});
}

// A record with the fields a writer fills for a container of AWidth bytes; AExtensible adds
// valid bits, the default stereo mask and the subformat of ATag.
Bytes LinearRecord(uint16_t ATag, uint16_t ABits, uint16_t AWidth, size_t ALength,
                   uint16_t AValid = 0) {
  Bytes record;
  const bool extensible = AValid != 0;
  for (auto [value, count] : {std::pair<uint32_t, int>{extensible ? 0xFFFEu : ATag, 2},
                              {2, 2},
                              {kRate, 4},
                              {kRate * 2u * AWidth, 4},
                              {2u * AWidth, 2},
                              {ABits, 2},
                              {extensible ? 22u : 0u, 2}})
    PutLE(record, value, count);
  if (extensible) {
    PutLE(record, AValid, 2);
    PutLE(record, 3, 4);
    const uint8_t guid[16] = {
        static_cast<uint8_t>(ATag), 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    record.insert(record.end(), guid, guid + 16);
  }
  record.resize(ALength, 0);
  return record;
}

// The tones as 32-bit samples, and re-packed: the top ABits of each in AWidth bytes, or as
// float or double.
Bytes Packed(const Bytes& AInt32, int ABits, int AWidth, bool AFloat) {
  Bytes out;
  for (size_t i = 0; i < AInt32.size(); i += 4) {
    int32_t s;
    std::memcpy(&s, &AInt32[i], 4);
    if (AFloat && AWidth == 8) {
      const auto d = std::bit_cast<uint64_t>(std::ldexp(double(s), -31));
      PutLE(out, static_cast<uint32_t>(d), 4);
      PutLE(out, static_cast<uint32_t>(d >> 32), 4);
    } else if (AFloat) {
      PutLE(out, std::bit_cast<uint32_t>(float(std::ldexp(double(s), -31))), 4);
    } else {
      const auto kept = static_cast<uint32_t>(s) & ~((uint32_t{1} << (32 - ABits)) - 1);
      PutLE(out, kept >> (32 - 8 * AWidth), AWidth);
    }
  }
  return out;
}

TEST(LinearSources, EveryContainerIsReadAsItsWidth) {
  TTempDir dir;
  const Bytes tones = ToneBytes(*MakeLinear(1, 2, kRate, 32), kFrames);
  struct TCase {
    const char* Name;
    Bytes File;
    uint16_t OutBits;  // what -c pcm keeps
  };
  const TCase cases[] = {
      {"f64", WaveBytes(LinearRecord(3, 64, 8, 18), Packed(tones, 64, 8, true)), 24},
      {"f64 ext", WaveBytes(LinearRecord(3, 64, 8, 40, 64), Packed(tones, 64, 8, true)), 24},
      {"f32 16-byte", WaveBytes(LinearRecord(3, 32, 4, 16), Packed(tones, 32, 4, true)), 24},
      {"20 in 24", WaveBytes(LinearRecord(1, 20, 3, 16), Packed(tones, 20, 3, false)), 24},
      {"12 in 16", WaveBytes(LinearRecord(1, 12, 2, 18), Packed(tones, 12, 2, false)), 16},
      {"24 valid in 32", WaveBytes(LinearRecord(1, 32, 4, 40, 24), Packed(tones, 24, 4, false)),
       32},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string source = dir.File("in.wav"), dest = dir.File("out.wav");
    WriteFileBytes(source, c.File);
    ASSERT_TRUE(CompressFile(source, dest, WAVE_FORMAT_PCM));
    auto out = TKZMMIOWaveStream::OpenReadFile(dest);
    ASSERT_TRUE(out);
    EXPECT_EQ(WaveOf(*out).GetBitsPerSample(), c.OutBits);
    const auto samples = SamplesOf(ReadAll(*out), WaveOf(*out));
    EXPECT_EQ(samples.size(), 2u * kFrames);
    EXPECT_GT(ToneSnr(samples, 2, kRate, 0, kFrames), c.OutBits == 16 ? 60 : 100);
  }
}

TEST(LinearSources, MasksAndDepthsReachTheFileAndTheDownmix) {
  REQUIRE_PEER("ffmpeg");
  REQUIRE_PEER("ffprobe");
  TTempDir dir;
  const std::string source = dir.File("in.wav"), dest = dir.File("out.wav");
  const std::string tone =
      "ffmpeg -v error -f lavfi -i sine=frequency=440:sample_rate=8000:"
      "duration=0.5 -y -af ";
  auto probe = [&] {
    return RunPeer(
        "ffprobe -v error -show_entries stream=codec_name,channel_layout,"
        "bits_per_sample -of csv=p=0 " +
        ShellQuote(dest));
  };
  struct TCase {
    const char* Pan;
    const char* Codec;
    uint16_t Tag;
    const char* Probed;
  };
  for (const TCase& c :
       {TCase{"2.1|c0=c0|c1=c0|c2=c0", "pcm_s16le", WAVE_FORMAT_PCM, "pcm_s16le,2.1,16\n"},
        TCase{"7.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0|c6=c0|c7=c0", "pcm_s24le", WAVE_FORMAT_PCM,
              "pcm_s24le,7.1,24\n"},
        TCase{"mono|c0=c0", "pcm_s32le", WAVE_FORMAT_PCM, "pcm_s32le,mono,32\n"},
        TCase{"stereo|c0=c0|c1=c0", "pcm_f64le", WAVE_FORMAT_IEEE_FLOAT, "pcm_f64le,stereo,64\n"},
        TCase{"5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0", "pcm_f32le", WAVE_FORMAT_PCM,
              "pcm_s24le,5.1,24\n"}}) {
    SCOPED_TRACE(c.Pan);
    RunPeer(tone + "'pan=" + c.Pan + "' -c:a " + c.Codec + " " + ShellQuote(source));
    ASSERT_TRUE(CompressFile(source, dest, c.Tag));
    EXPECT_EQ(probe(), c.Probed);
    // Its length known from the source, the file needs no room for ds64.
    const Bytes bytes = ReadFileBytes(dest);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()).find("JUNK"), std::string::npos);
  }
  // 2.1 whose only sound is the low-frequency channel: a stereo codec leaves it out.
  RunPeer(tone + "'pan=2.1|c0=0*c0|c1=0*c0|c2=c0' -c:a pcm_s16le " + ShellQuote(source));
  ASSERT_TRUE(CompressFile(source, dest, WAVE_FORMAT_IMA_ADPCM));
  EXPECT_EQ(RunPeer("ffmpeg -v error -i " + ShellQuote(dest) +
                    " -f s16le - | od -An -tx1 -v | "
                    "tr -s ' \\n' '\\n' | sort -u | grep -v '^$'"),
            "00\n");
}

}  // namespace
