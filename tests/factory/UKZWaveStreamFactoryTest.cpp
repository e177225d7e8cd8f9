#include "factory/UKZWaveStreamFactory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/UKZACMFormat.h"
#include "platform/rtl/Exception.h"
#include "tests/factory/FactoryTestSupport.h"
#include "tests/support/FakeCodec.h"
#include "tests/support/Peers.h"

namespace {

// How close the tones come back through each codec (dB), and the frames an encoder may add or
// take at the start. A codec not listed gets the loose default.
struct TQuality {
  uint16_t Tag;
  double FloorDb;
  int32_t Delay;
};
constexpr TQuality kQualities[] = {{1, 38, 0},  {3, 38, 0}, {6, 32, 0},  {7, 32, 0},
                                   {17, 20, 0}, {2, 22, 0}, {0, 3, 4608}};

// Decoded audio against the tones: nothing lost at the end, at most a block more, and the
// codec's fidelity over a window of it.
void CheckDecoded(const std::vector<double>& ASamples, const TKZWaveFormat& AFormat,
                  int32_t AExpected, const TQuality& AQuality) {
  const uint32_t rate = AFormat.GetSamplesPerSec();
  const double block = double(AFormat.GetBlockAlign()) * rate / AFormat.GetAvgBytesPerSec();
  const auto frames = static_cast<int32_t>(ASamples.size() / AFormat.GetChannels());
  EXPECT_GE(frames, AExpected - AQuality.Delay);
  EXPECT_LE(frames, AExpected + std::ceil(block) + AQuality.Delay);
  const size_t from = rate / 10 + AQuality.Delay, to = std::min<size_t>(frames, AExpected);
  EXPECT_GE(ToneSnr(ASamples, AFormat.GetChannels(), rate, from, std::min(to, from + rate / 5)),
            AQuality.FloorDb);
}

TEST(TKZWaveStreamFactory, CompressesIntoEveryCodecOfTheManager) {
  REQUIRE_PEER("ffmpeg");
  TTempDir dir;
  std::vector<uint16_t> tags;  // every tag the manager offers, once
  for (const auto& driver : acm::Drivers())
    for (const acm::TagCaps& caps : driver->Tags())
      if (std::find(tags.begin(), tags.end(), caps.tag) == tags.end()) tags.push_back(caps.tag);
  ASSERT_GE(tags.size(), 6u);
  const std::string source = dir.File("source.wav");
  // 6,000 Hz lies below some codecs' rates: their counts are scaled up.
  const int sources[][4] = {{1, 1, 6000, 8},   {1, 2, 11025, 8},  {1, 1, 22050, 16},
                            {1, 2, 44100, 16}, {1, 2, 48000, 16}, {1, 2, 32000, 24},
                            {3, 1, 44100, 32}, {3, 2, 16000, 32}};
  for (const auto& [tag, channels, rate, bits] : sources) {
    const int32_t frames = rate + 37;
    const auto linear = MakeLinear(tag, channels, rate, bits);
    WriteWaveFile(source, *linear, ToneBytes(*linear, frames), frames);
    std::string peer = "ffmpeg -v error -y", outputs;  // one run decodes every destination
    for (size_t i = 0; i < tags.size(); ++i) {
      const std::string name = dir.File(std::to_string(tags[i]));
      ASSERT_TRUE(CompressFile(source, name + ".wav", tags[i])) << rate << " " << tags[i];
      peer += " -i " + ShellQuote(name + ".wav");
      outputs += " -map " + std::to_string(i) + " -f f32le " + ShellQuote(name + ".raw");
    }
    const TCommandResult decoded = RunCommand(peer + outputs);
    ASSERT_EQ(decoded.ExitCode, 0) << decoded.Output;
    for (uint16_t codec : tags) {
      SCOPED_TRACE(std::to_string(rate) + " Hz " + std::to_string(bits) + " bit " +
                   std::to_string(channels) + " ch into " + std::to_string(codec));
      const TQuality& quality = *std::find_if(std::begin(kQualities), std::end(kQualities) - 1,
                                              [&](const TQuality& q) { return q.Tag == codec; });
      const std::string name = dir.File(std::to_string(codec));
      auto stored = TKZMMIOWaveStream::OpenReadFile(name + ".wav");
      ASSERT_TRUE(stored);
      const auto wave = CloneOf(StreamFormatOf(*stored).WaveFormat());
      // PCM and float wider than 16 bits are stored by the extensible rules.
      const bool wide = (codec == WAVE_FORMAT_PCM || codec == WAVE_FORMAT_IEEE_FLOAT) &&
                        wave->GetBitsPerSample() > 16;
      EXPECT_EQ(wave->GetFormatTag(), wide ? WAVE_FORMAT_EXTENSIBLE : codec);
      const auto expected = static_cast<int32_t>(  // counted at the destination's rate
          std::lround(double(frames) * wave->GetSamplesPerSec() / rate));
      EXPECT_EQ(StreamFormatOf(*stored).Fact().GetSampleCount(), expected);

      auto factory = TKZWaveStreamFactory::Create();
      factory->GetFormat().SetFormatTag(WAVE_FORMAT_PCM);
      auto decoder = factory->CreateReadStream(name + ".wav");
      ASSERT_TRUE(decoder);
      const Bytes pcm = ReadAll(*decoder);
      CheckDecoded(SamplesOf(pcm, StreamFormatOf(*decoder).WaveFormat()), *wave, expected, quality);
      const auto floats = MakeLinear(3, wave->GetChannels(), wave->GetSamplesPerSec(), 32);
      CheckDecoded(SamplesOf(ReadFileBytes(name + ".raw"), *floats), *wave, expected, quality);
    }
  }
}

TEST(TKZWaveStreamFactory, ChainsAndWhatFails) {
  TFakeCodecScope fake;
  fake->Accepts = [](const WAVEFORMATEX& f) { return f.nChannels == 2; };
  TTempDir dir;
  const std::string source = dir.File("source.wav"), coded = dir.File("coded.wav");
  auto mono = MakeLinear(1, 1, 22050, 16);
  WriteWaveFile(source, *mono, ToneBytes(*mono, 12345), 12345);
  std::ofstream(dir.File("text.wav")) << "not a wave file";
  auto files = [] {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::distance(begin(fds), end(fds));
  };
  const auto open = files();

  // No target: the bare file stream. Two steps: a combined stream delivering the codec's
  // format, which Reset leaves alone; written that way and read back: the source's audio.
  auto factory = TKZWaveStreamFactory::Create();
  EXPECT_TRUE(dynamic_cast<TKZMMIOWaveStream*>(factory->CreateReadStream(source).get()));
  factory->GetFormat().SetFormatTag(kFakeTag);
  auto reader = factory->CreateReadStream(source);
  ASSERT_TRUE(dynamic_cast<TKZCombinedStream*>(reader.get()));
  factory->Reset();
  EXPECT_EQ(StreamFormatOf(*reader).WaveFormat().GetChannels(), 2);
  EXPECT_EQ(ReadAll(*reader).size(), 12345u * 4);
  ASSERT_TRUE(CompressFile(source, coded, kFakeTag));
  factory->GetFormat().Assign(mono.get());
  reader = factory->CreateReadStream(coded);
  EXPECT_EQ(ReadAll(*reader), ToneBytes(*mono, 12345));
  reader.reset();
  auto plain = TKZMMIOWaveStream::OpenReadFile(source);

  // Sources that do not open (no path is looked for); a second step that does not open; a codec
  // out of reach; a destination that cannot be made: none, and nothing left open.
  factory->Reset();
  factory->GetFormat().SetFormatTag(kFakeTag);
  fake->Asked.clear();
  EXPECT_FALSE(factory->CreateReadStream(dir.File("missing.wav")) ||
               factory->CreateReadStream(dir.File("text.wav")) || !fake->Asked.empty());
  fake->Opens = false;
  EXPECT_FALSE(factory->CreateReadStream(source) ||
               factory->CreateWriteStream(coded, *plain->GetFormat()));
  fake->Accepts = [](const WAVEFORMATEX&) { return false; };
  EXPECT_FALSE(factory->CreateWriteStream(dir.File("none.wav"), *plain->GetFormat()) ||
               std::filesystem::exists(dir.File("none.wav")));
  factory->Reset();
  EXPECT_FALSE(factory->CreateWriteStream(dir.File("no/folder.wav"), *plain->GetFormat()));
  plain.reset();
  EXPECT_EQ(files(), open);

  // Close on a writing chain reports a failed final write.
  auto pcm = MakeLinear(1, 2, 44100, 16);
  TWaveMemory destination(*HKZACMFormat::SuggestFormat(*pcm, *Tagged(WAVE_FORMAT_IMA_ADPCM)));
  factory->GetFormat().SetFormatTag(WAVE_FORMAT_IMA_ADPCM);
  auto writer = factory->CreateWriteStream(destination, *pcm);
  TMemoryStream input(ToneBytes(*pcm, 10000));
  ASSERT_TRUE(writer && TKZStream::Copy(input, *writer));
  EXPECT_EQ(destination.Data.size(), 4u * 2048);  // 2,041 frames a block of 2,048 bytes
  destination.WriteCapacity = 2047;
  EXPECT_THROW(writer->Close(), Exception);
}

}  // namespace
