// Files we write, read by ffmpeg, ffprobe and sox; files they write, read by us.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/MemoryStream.h"
#include "tests/support/Peers.h"
#include "tests/wave/WaveBytes.h"
#include "wave/UKZWaveStream.h"

namespace {

Bytes Slurp(const std::string& AFile) {
  std::ifstream in(AFile, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string Peer(const std::string& ACommand) {
  const TCommandResult result = RunCommand(ACommand);
  EXPECT_EQ(result.ExitCode, 0) << ACommand << "\n" << result.Output;
  return result.Output;
}

// The file's top-level chunks after the form type, each with its header.
std::vector<Bytes> TopChunks(const Bytes& AFile) {
  std::vector<Bytes> chunks;
  for (size_t at = 12; at + 8 <= AFile.size();) {
    const size_t size =
        AFile[at + 4] | AFile[at + 5] << 8 | AFile[at + 6] << 16 | AFile[at + 7] << 24;
    const size_t end = std::min(AFile.size(), at + 8 + size + size % 2);
    chunks.emplace_back(AFile.begin() + at, AFile.begin() + end);
    at = end;
  }
  return chunks;
}

struct TOurs {
  uint16_t Channels;
  uint32_t Rate;
  uint16_t Bits;
  int32_t Frames;
  bool Fact;
  const char* Codec;
};

TEST(WavePeers, PeersReadTheFilesWeWrite) {
  REQUIRE_PEER("ffmpeg");
  REQUIRE_PEER("ffprobe");
  REQUIRE_PEER("sox");
  TTempDir dir;
  const std::string file = dir.File("ours.wav"), raw = dir.File("peer.raw");
  for (const TOurs& c :
       {TOurs{1, 8000, 8, 1001, false, "u8"}, TOurs{2, 44100, 16, 500, true, "s16le"},
        TOurs{1, 22050, 16, 333, false, "s16le"}, TOurs{2, 11025, 8, 777, true, "u8"}}) {
    SCOPED_TRACE(c.Rate);
    auto format =
        TKZWaveStreamFormat::CreateFromFormat(PcmFormat(c.Channels, c.Rate, c.Bits).get());
    if (c.Fact) format->Fact().SetSampleCount(c.Frames);
    const Bytes audio =
        PseudoRandomBytes(static_cast<size_t>(c.Frames * c.Channels * c.Bits / 8), c.Rate);
    auto wave = TKZMMIOWaveStream::OpenWriteFile(file, *format);
    ASSERT_TRUE(wave);
    TMemoryStream source(audio);
    ASSERT_TRUE(TKZStream::Copy(source, *wave));
    wave->Close();

    const std::string quoted = ShellQuote(file);
    EXPECT_EQ(Peer("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of "
                   "default=nw=1 " +
                   quoted),
              "codec_name=pcm_" + std::string(c.Codec) + "\nsample_rate=" + std::to_string(c.Rate) +
                  "\nchannels=" + std::to_string(c.Channels) + "\n");
    Peer("ffmpeg -v error -y -i " + quoted + " -f " + c.Codec + " " + ShellQuote(raw));
    EXPECT_EQ(Slurp(raw), audio);
    EXPECT_EQ(Peer("sox --i -r " + quoted + "; sox --i -c " + quoted + "; sox --i -b " + quoted +
                   "; sox --i -s " + quoted),
              std::to_string(c.Rate) + "\n" + std::to_string(c.Channels) + "\n" +
                  std::to_string(c.Bits) + "\n" + std::to_string(c.Frames) + "\n");
    Peer("sox " + quoted + " -t raw " + ShellQuote(raw));
    EXPECT_EQ(Slurp(raw), audio);
  }
}

struct TTheirs {
  std::string Name;
  std::string Command;  // writes the file named by $F
  uint16_t Tag;
  bool Counted;  // PCM, or a fact chunk
};

TEST(WavePeers, WeReadTheFilesTheyWrite) {
  REQUIRE_PEER("ffmpeg");
  REQUIRE_PEER("sox");
  TTempDir dir;
  const std::string sine = "ffmpeg -v error -y -f lavfi -i sine=frequency=300:duration=0.05 ";
  const std::vector<TTheirs> cases = {
      {"sox16", "sox -n -r 22050 -c 2 -b 16 $F synth 0.05 sine 440", 1, true},
      {"sox8", "sox -n -r 8000 -c 1 -b 8 $F synth 0.05 sine 440", 1, true},
      {"tagged", sine + "-metadata title=corvane -c:a pcm_s16le $F", 1, true},
      {"float", "sox -n -r 8000 -c 1 -e floating-point -b 32 $F synth 0.05 sine 440", 3, true},
      {"extensible", sine + "-ac 6 -c:a pcm_s24le $F", 0xFFFE, false},
  };
  for (const TTheirs& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string file = dir.File(c.Name + ".wav"), raw = dir.File(c.Name + ".raw");
    Peer("F=" + ShellQuote(file) + "; " + c.Command);
    Peer("sox " + ShellQuote(file) + " -t raw " + ShellQuote(raw));
    const Bytes bytes = Slurp(file);
    std::vector<Bytes> chunks = TopChunks(bytes);
    ASSERT_EQ(Bytes(chunks[0].begin(), chunks[0].begin() + 4), (Bytes{'f', 'm', 't', ' '}));
    const Bytes stored(chunks[0].begin() + 8, chunks[0].end());
    if (c.Name == "tagged") {  // the same file again with its LIST chunk in front of fmt
      ASSERT_EQ(Bytes(chunks[1].begin(), chunks[1].begin() + 4), (Bytes{'L', 'I', 'S', 'T'}));
      std::swap(chunks[0], chunks[1]);
      Bytes moved(bytes.begin(), bytes.begin() + 12);
      for (const Bytes& chunk : chunks)
        moved.insert(moved.end(), chunk.begin(), chunk.end());
      std::ofstream(dir.File("moved.wav"), std::ios::binary)
          .write(reinterpret_cast<const char*>(moved.data()),
                 static_cast<std::streamsize>(moved.size()));
    }
    for (const std::string& name : {file, dir.File("moved.wav")}) {
      if (name != file && c.Name != "tagged") continue;
      auto wave = TKZMMIOWaveStream::OpenReadFile(name);
      ASSERT_TRUE(wave) << name;
      const auto& format = dynamic_cast<const TKZWaveStreamFormat&>(*wave->GetFormat());
      EXPECT_EQ(format.WaveFormat().GetFormatTag(), c.Tag);
      TMemoryStream record, audio;
      ASSERT_TRUE(format.WaveFormat().WriteTo(*record.AsStream()));
      if (c.Tag == WAVE_FORMAT_PCM)  // PCM is always written as 18 bytes
        EXPECT_EQ(Bytes(record.Data.begin(), record.Data.begin() + 16),
                  Bytes(stored.begin(), stored.begin() + 16));
      else
        EXPECT_EQ(record.Data, stored);
      ASSERT_TRUE(TKZStream::Copy(*wave, audio));
      EXPECT_EQ(audio.Data, Slurp(raw));
      const int32_t frames =
          static_cast<int32_t>(audio.Data.size() / format.WaveFormat().GetBlockAlign());
      EXPECT_EQ(format.Fact().GetSampleCount(), c.Counted ? frames : 0);
    }
  }
}

}  // namespace
