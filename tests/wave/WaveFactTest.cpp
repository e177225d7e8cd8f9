// The fact chunk of compressed files: the frames actually converted, whatever the source's tag
// and whatever count its own header claims.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "factory/UKZWaveStreamFactory.h"
#include "tests/factory/FactoryTestSupport.h"
#include "tests/support/Peers.h"
#include "tests/support/WaveFiles.h"

namespace {

// A source file of 16-bit stereo tones stored in another layout, byte by byte: no writer of
// ours adds a fact chunk to it.
struct TSource {
  std::string Name;
  uint32_t Rate;
  int32_t Frames;  // what its data holds
  Bytes File;
};

TSource Extensible24() {
  Bytes record = Record(0xFFFE, 2, 44100, 24, 40, 22);
  record[18] = 24;  // valid bits
  record[20] = 3;   // front left and right
  const uint8_t pcm[16] = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
  std::copy(std::begin(pcm), std::end(pcm), record.begin() + 24);
  const Bytes tones = ToneBytes(*MakeLinear(1, 2, 44100, 24), 4410);
  return {"24-bit extensible", 44100, 4410,
          Riff("WAVE", {Chunk("fmt ", record), Chunk("data", tones)})};
}

TSource FloatWithoutFact() {
  const Bytes tones = ToneBytes(*MakeLinear(3, 1, 16000, 32), 3001);
  return {"float", 16000, 3001,
          Riff("WAVE", {Chunk("fmt ", Record(3, 1, 16000, 32, 18)), Chunk("data", tones)})};
}

TSource Truncated() {
  Bytes fact;
  PutLE(fact, 4410, 4);
  return {"truncated", 44100, 236,
          Riff("WAVE", {Chunk("fmt ", Record(1, 1, 44100, 16, 16)), Chunk("fact", fact),
                        Chunk("data", ToneBytes(*MakeLinear(1, 1, 44100, 16), 236))})};
}

}  // namespace

TEST(WaveFact, CompressedFilesCountTheFramesConverted) {
  TTempDir dir;
  const std::string source = dir.File("source.wav"), coded = dir.File("coded.wav");
  for (const TSource& s : {Extensible24(), FloatWithoutFact(), Truncated()}) {
    WriteFileBytes(source, s.File);
    for (const uint16_t tag :
         {WAVE_FORMAT_IMA_ADPCM, WAVE_FORMAT_ADPCM, WAVE_FORMAT_ALAW, WAVE_FORMAT_MULAW,
          WAVE_FORMAT_GSM610, WAVE_FORMAT_MPEGLAYER3, WAVE_FORMAT_IEEE_FLOAT}) {
      SCOPED_TRACE(s.Name + " into " + std::to_string(tag));
      ASSERT_TRUE(CompressFile(source, coded, tag));
      auto stored = TKZMMIOWaveStream::OpenReadFile(coded);
      ASSERT_TRUE(stored);
      const double rate = WaveOf(*stored).GetSamplesPerSec();
      // A resampler's output may end a frame either side of the exact ratio.
      EXPECT_NEAR(StreamFormatOf(*stored).Fact().GetSampleCount(),
                  std::lround(s.Frames * rate / s.Rate), rate == s.Rate ? 0 : 1);
    }
  }
}
