// Files we write, read by ffmpeg, ffprobe and sox; files they write, read by us.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/Peers.h"
#include "tests/support/WaveFiles.h"
#include "wave/UKZWaveStream.h"

namespace {

TEST(WavePeers, PeersReadTheFilesWeWrite) {
  REQUIRE_PEER("ffmpeg");
  REQUIRE_PEER("ffprobe");
  REQUIRE_PEER("sox");
  TTempDir dir;
  const std::string file = ShellQuote(dir.File("ours.wav")), raw = dir.File("peer.raw");
  struct TCase {
    uint16_t Channels, Bits;
    uint32_t Rate, Frames;
    bool Fact;
    std::string Codec;
  };
  for (const TCase& c :
       {TCase{1, 8, 8000, 1001, false, "u8"}, TCase{2, 16, 44100, 500, true, "s16le"}}) {
    SCOPED_TRACE(c.Rate);
    const Bytes audio = PseudoRandomBytes(c.Frames * c.Channels * c.Bits / 8, c.Rate);  // odd too
    WriteWaveFile(dir.File("ours.wav"), *MakeLinear(1, c.Channels, c.Rate, c.Bits), audio,
                  c.Fact ? static_cast<int32_t>(c.Frames) : 0);
    EXPECT_EQ(RunPeer("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of "
                      "default=nw=1 " +
                      file + " && sox --i -r " + file + " && sox --i -c " + file +
                      " && sox --i -b " + file + " && sox --i -s " + file),
              "codec_name=pcm_" + c.Codec + "\nsample_rate=" + std::to_string(c.Rate) +
                  "\nchannels=" + std::to_string(c.Channels) + "\n" + std::to_string(c.Rate) +
                  "\n" + std::to_string(c.Channels) + "\n" + std::to_string(c.Bits) + "\n" +
                  std::to_string(c.Frames) + "\n");
    for (const std::string& decode :
         {"ffmpeg -v error -y -i " + file + " -f " + c.Codec + " ", "sox " + file + " -t raw "}) {
      RunPeer(decode + ShellQuote(raw));
      EXPECT_EQ(ReadFileBytes(raw), audio) << decode;
    }
  }
}

TEST(WavePeers, WeReadTheFilesTheyWrite) {
  REQUIRE_PEER("ffmpeg");
  REQUIRE_PEER("sox");
  TTempDir dir;
  const std::string sine = "ffmpeg -v error -y -f lavfi -i sine=frequency=300:duration=0.05 ";
  const std::string synth = " synth 0.05 sine 440";
  struct TCase {
    std::string Name, Command;  // the command writes the file $F
    uint16_t Tag;
  };
  for (const TCase& c : {TCase{"sox16", "sox -n -r 22050 -c 2 -b 16 $F" + synth, 1},
                         TCase{"float", "sox -n -r 8000 -e floating-point -b 32 $F" + synth, 3},
                         TCase{"extensible", sine + "-ac 6 -c:a pcm_s24le $F", 0xFFFE}}) {
    SCOPED_TRACE(c.Name);
    const std::string file = dir.File(c.Name + ".wav"), raw = dir.File(c.Name + ".raw");
    RunPeer("F=" + ShellQuote(file) + "; " + c.Command + " && sox $F -t raw " + ShellQuote(raw));
    const Bytes bytes = ReadFileBytes(file);
    ASSERT_EQ(std::string(bytes.begin() + 12, bytes.begin() + 16), "fmt ");
    const Bytes stored(bytes.begin() + 20, bytes.begin() + 20 + (bytes[16] | bytes[17] << 8));
    auto wave = TKZMMIOWaveStream::OpenReadFile(file);
    ASSERT_TRUE(wave);
    const auto& format = StreamFormatOf(*wave);
    EXPECT_EQ(format.WaveFormat().GetFormatTag(), c.Tag);
    TMemoryStream record;
    ASSERT_TRUE(format.WaveFormat().WriteTo(*record.AsStream()));
    EXPECT_TRUE(c.Tag == WAVE_FORMAT_PCM || record.Data == stored);  // as stored
    const Bytes audio = ReadAll(*wave);
    EXPECT_EQ(audio, ReadFileBytes(raw));
    const auto frames = static_cast<int32_t>(audio.size() / format.WaveFormat().GetBlockAlign());
    EXPECT_EQ(format.Fact().GetSampleCount(), frames);
  }
}

TEST(WavePeers, WeReadRF64FromPeers) {
  REQUIRE_PEER("ffmpeg");
  TTempDir dir;
  const std::string name = dir.File("rf64.wav");
  RunPeer(
      "ffmpeg -v error -f lavfi -i sine=frequency=440:sample_rate=8000:duration=1 -c:a "
      "pcm_s16le -rf64 always -y " +
      ShellQuote(name));
  const Bytes bytes = ReadFileBytes(name);
  ASSERT_GE(bytes.size(), 4u);
  ASSERT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RF64");
  auto wave = TKZMMIOWaveStream::OpenReadFile(name);
  ASSERT_TRUE(wave);
  EXPECT_EQ(wave->Report().DataSize, 16000);
  EXPECT_EQ(ReadAll(*wave).size(), 16000u);
}

}  // namespace
