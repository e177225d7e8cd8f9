#include "codec/UKZACMStream.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "codec/UKZACMFormat.h"
#include "platform/rtl/Exception.h"
#include "tests/support/FakeCodec.h"
#include "tests/support/WaveFiles.h"

namespace {

using TConversion = TKZACMConversionStream;

TEST(TKZACMStreamHeader, HeadersAndBuffersGuardTheirRules) {
  TKZACMStreamHeader header;
  Bytes memory(64);
  EXPECT_THROW(header.SourceLengthUsed(), Exception);
  EXPECT_THROW(header.SetSource(AreaOf(memory.data(), 0)), Exception);
  header.SetSource(AreaOf(memory.data(), 64));
  header.SetDestination(AreaOf(memory.data(), 64));
  header.SetSourceLength(1000);  // unprepared: any length
  header.SetSourceLength(64);
  auto pcm = MakeLinear(1, 1, 8000, 16);
  auto stream = TKZACMStream::Open(*pcm, *pcm, true);
  ASSERT_TRUE(stream && stream->PrepareHeader(header) && !stream->PrepareHeader(header));
  EXPECT_THROW(header.SetSource(AreaOf(memory.data(), 8)), Exception);
  EXPECT_THROW(header.SetSourceLength(65), Exception);
  header.SetSourceLength(10);
  EXPECT_TRUE(stream->UnprepareHeader(header) && !stream->UnprepareHeader(header));
  EXPECT_EQ(header.SourceLength(), 64);  // the prepared length is back

  auto source = TKZACMStreamSourceBuffer::CreateBuffer(256);
  const TKZArea block = source->GetMemory();
  std::iota(AreaBytes(block), AreaBytes(block) + 100, uint8_t{0});
  for (int32_t bad : {0, -1, 257})
    EXPECT_THROW(source->Produced(bad), Exception);
  source->Produced(100);
  for (int32_t bad : {0, 101})
    EXPECT_THROW(source->Consumed(bad), Exception);
  source->Consumed(30);  // the rest moves to the front, in order
  EXPECT_TRUE(source->GetData().Start == block.Start && source->GetData().Size == 70);
  EXPECT_TRUE(AreaBytes(block)[0] == 30 && AreaBytes(block)[69] == 99);
  EXPECT_EQ(source->GetFree().Start, block.Start + 70);

  auto destination = TKZACMStreamDestinationBuffer::CreateBuffer(64);
  destination->Produced(50);
  for (int32_t bad : {20, 0, -1})  // pending output makes the next count go unheard
    destination->Produced(bad);
  for (int32_t bad : {0, -1, 51})
    destination->Consumed(bad);
  EXPECT_EQ(destination->GetData().Size, 50);
  destination->Consumed(20);
  EXPECT_EQ(destination->GetData().Start, destination->GetMemory().Start + 20);
  destination->Consumed(30);
  EXPECT_EQ(destination->GetFree().Size, 64);
  EXPECT_THROW(destination->Produced(65), Exception);
}

TEST(TKZACMConversionStream, BlocksBeyondTheBuffersAndTheEndOfTheSignal) {
  TFakeCodecScope fake;
  fake->BlockBytes = 12000;  // larger than the nominal 8192 bytes
  auto pcm = MakeLinear(1, 2, 44100, 16);
  auto codec = HKZACMFormat::SuggestFormat(*pcm, *Tagged(kFakeTag));
  for (bool encode : {true, false}) {  // each buffer holds two blocks
    const TKZWaveFormat &from = encode ? *pcm : *codec, &to = encode ? *codec : *pcm;
    int32_t sizes[2];
    TKZACMStream::Open(from, to, true)->GetBufferSizes(from, to, sizes[0], sizes[1]);
    EXPECT_TRUE(sizes[0] == 24000 && sizes[1] == 24000);
  }

  const Bytes audio = PseudoRandomBytes(100003 * 4, 7);
  TWaveMemory encoded(*codec);
  auto writer = TConversion::CreateWriter(*pcm, encoded, true);
  ASSERT_TRUE(writer && WaveOf(*writer).IsEqual(*pcm));
  for (size_t at = 0, piece = 100; at < audio.size(); at += piece, piece = piece * 3 % 10007) {
    piece = std::min(piece, audio.size() - at);
    ASSERT_EQ(writer->Write(AreaOf(&audio[at], static_cast<int32_t>(piece))), int32_t(piece));
    EXPECT_EQ(encoded.Data.size() % 12000, 0u);  // whole blocks only, until the end
  }
  writer->Close();
  Bytes padded = audio;
  padded.resize(34 * 12000);
  EXPECT_EQ(encoded.Data, padded);
  encoded.Position = 0;
  encoded.ReadLimit = 777;  // a short read is not the end
  auto reader = TConversion::CreateReader(encoded, *Tagged(WAVE_FORMAT_PCM), true);
  ASSERT_TRUE(reader && WaveOf(*reader).IsEqual(*pcm));  // the suggestion, every field set
  EXPECT_EQ(ReadAll(*reader), padded);
  EXPECT_EQ(reader->Read(AreaOf(&padded[0], 1)) + reader->Read(AreaOf(&padded[0], 1)), 0);

  // A resampler's tail, which only the end of the signal releases; IMA ADPCM decoded from
  // short reads: whole blocks still.
  auto mono = MakeLinear(1, 1, 44100, 16);
  TWaveMemory tones(*mono, ToneBytes(*mono, 45334));
  auto resampler = TConversion::CreateReader(tones, *Tagged(1, 8000), false);
  EXPECT_NEAR(static_cast<double>(ReadAll(*resampler).size()) / 2, 45334 * 8000 / 44100.0, 1);
  tones.Position = 0;
  auto ima = TConversion::CreateReader(tones, *Tagged(WAVE_FORMAT_IMA_ADPCM), false);
  TWaveMemory coded(WaveOf(*ima), ReadAll(*ima));
  EXPECT_EQ(coded.Data.size(), 23u * WaveOf(*ima).GetBlockAlign());  // 2,041 frames a block
  coded.ReadLimit = 777;
  auto decoder = TConversion::CreateReader(coded, *Tagged(WAVE_FORMAT_PCM), false);
  const std::vector<double> decoded = SamplesOf(ReadAll(*decoder), WaveOf(*decoder));
  ASSERT_EQ(decoded.size(), 23u * 2041);
  EXPECT_GT(ToneSnr(decoded, 1, 44100, 4410, 45334), 20);
}

TEST(TKZACMConversionStream, AreasFailuresAndClose) {
  auto mono = MakeLinear(1, 1, 8000, 16), stereo = MakeLinear(1, 2, 8000, 16);
  int calls = 0;
  TWaveMemory inner(*mono, PseudoRandomBytes(50000, 3));
  inner.OnCall = [&calls](const std::string&) { ++calls; };
  auto reader = TConversion::CreateReader(inner, *stereo, true);
  auto writer = TConversion::CreateWriter(*stereo, inner, true);
  Bytes buffer(40000);
  EXPECT_EQ(reader->Read(AreaOf(buffer.data(), 0)) + writer->Write(AreaOf(buffer.data(), 0)), 0);
  EXPECT_EQ(calls, 0);
  EXPECT_THROW(reader->Read(Area(0, 0)), Exception);
  EXPECT_THROW(reader->Read(AreaOf(buffer.data(), -1)), Exception);
  EXPECT_THROW(reader->Write(AreaOf(buffer.data(), 1)), Exception);
  EXPECT_THROW(writer->Read(AreaOf(buffer.data(), 1)), Exception);
  // The inner stream fails after some bytes of the same call were delivered: -1, not a count.
  inner.OnCall = [&inner](const std::string&) { inner.FailReads = inner.Position > 10000; };
  EXPECT_EQ(reader->Read(AreaOf(buffer.data(), 40000)), -1);

  // The last write refused: Close raises, once. A write refused on the way: every later Write
  // fails too, and so does Close.
  inner.Data.clear();
  inner.Position = 0;
  ASSERT_EQ(writer->Write(AreaOf(buffer.data(), 1000)), 1000);
  EXPECT_TRUE(inner.Data.empty());  // until the source buffer is full
  inner.WriteCapacity = 499;        // of the 500 bytes the 1,000 make
  EXPECT_THROW(writer->Close(), Exception);
  EXPECT_NO_THROW(writer->Close());
  inner.WriteCapacity = 10000;
  writer = TConversion::CreateWriter(*stereo, inner, true);
  EXPECT_EQ(writer->Write(AreaOf(buffer.data(), 40000)), -1);
  inner.WriteCapacity = -1;
  EXPECT_EQ(writer->Write(AreaOf(buffer.data(), 4)), -1);
  EXPECT_THROW(writer->Close(), Exception);

  // Refusals give none (a codec that will not open: the factory suite's); an inner stream
  // without a wave format, an incomplete format raise.
  TFakeCodecScope fake;
  fake->Accepts = [](const WAVEFORMATEX&) { return false; };
  EXPECT_FALSE(TConversion::CreateReader(inner, *Tagged(kFakeTag), true));
  EXPECT_THROW(TConversion::CreateWriter(*mono, *std::make_unique<TMemoryStream>(), true),
               Exception);
  EXPECT_THROW(TConversion::CreateWriter(*Tagged(1), inner, true), Exception);
}

}  // namespace
