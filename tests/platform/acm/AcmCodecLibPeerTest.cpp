// GSM 6.10 and MPEG Layer-3 against ffmpeg and sox: the bytes and files we write, and theirs.
// sox has no MP3 in wave files ("WAV file encoding `MP3' is not supported"), so MP3 is held
// against ffmpeg alone.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/platform/acm/AcmTestSupport.h"
#include "tests/support/Peers.h"
#include "wave/UKZWaveStream.h"

using namespace acmtest;

namespace {

struct WaveFile {
  acm::FormatRecord format;
  Bytes data;
};

void WriteWave(const std::string& path, const acm::FormatRecord& format, const Bytes& data,
               int32_t frames) {
  auto wave_format = TKZWaveFormat::CreateDefault();
  wave_format->EnsureCapacity(static_cast<int32_t>(format.Size()));
  std::memcpy(wave_format->GetWaveFormatEx(), format.Bytes(), format.Size());
  wave_format->MarkLoaded();
  auto stream_format = TKZWaveStreamFormat::CreateFromFormat(wave_format.get());
  stream_format->Fact().SetSampleCount(frames);
  auto wave = TKZMMIOWaveStream::OpenWriteFile(path, *stream_format);
  ASSERT_TRUE(wave);
  const auto size = static_cast<int32_t>(data.size());
  EXPECT_EQ(wave->Write(AreaOf(data.data(), size)), size);
  wave->Close();
}

WaveFile ReadWave(const std::string& path) {
  WaveFile file;
  auto wave = TKZMMIOWaveStream::OpenReadFile(path);
  if (!wave) {
    ADD_FAILURE() << "cannot read " << path;
    return file;
  }
  const auto* format = dynamic_cast<const TKZWaveStreamFormat*>(wave->GetFormat());
  file.format = acm::FormatRecord(*format->WaveFormat().GetWaveFormatEx());
  Bytes buffer(65536);
  for (int32_t n; (n = wave->Read(AreaOf(buffer.data(), 65536))) > 0;)
    file.data.insert(file.data.end(), buffer.begin(), buffer.begin() + n);
  return file;
}

Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void Peer(const std::string& command) {
  const TCommandResult result = RunCommand(command);
  EXPECT_EQ(result.ExitCode, 0) << command << "\n" << result.Output;
}

// A peer's decode of a wave file into a 16-bit PCM wave file.
WaveFile PeerDecode(const std::string& peer, const std::string& wave, const std::string& out) {
  if (peer == "ffmpeg")
    Peer("ffmpeg -v error -y -i " + ShellQuote(wave) + " -c:a pcm_s16le " + ShellQuote(out));
  else
    Peer("sox " + ShellQuote(wave) + " -e signed -b 16 " + ShellQuote(out));
  return ReadWave(out);
}

Samples Head(const Samples& samples, size_t count) {
  return Samples(samples.begin(), samples.begin() + std::min(count, samples.size()));
}

Samples Speech(const TTempDir& dir) {
  const std::string path = dir.File("speech.wav");
  Peer("espeak-ng -w " + ShellQuote(path) +
       " 'Pack my box with five dozen liquor jugs. How vexingly quick daft zebras jump.'");
  return AsSamples(ReadWave(path).data);  // 22,050 Hz mono
}

// A chunk header: a four-character code and a little-endian 32-bit value.
void Put(Bytes& bytes, const char* code, uint32_t value) {
  bytes.insert(bytes.end(), code, code + 4);
  for (int i = 0; i < 4; ++i)
    bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

TEST(AcmGsmPeers, OurBytesAreLibgsmsAndEachSideDecodesTheOthersFiles) {
  REQUIRE_PEER("ffmpeg");
  REQUIRE_PEER("sox");
  REQUIRE_PEER("espeak-ng");
  TTempDir dir;
  const std::string source = dir.File("source.wav"), ours = dir.File("ours.wav"),
                    theirs = dir.File("theirs.wav"), decoded = dir.File("decoded.wav");
  const auto pcm = Pcm(1, 8000);
  const auto gsm = SuggestTag(pcm, WAVE_FORMAT_GSM610);
  const Samples speech = AsSamples(ConvertAll(Pcm(1, 22050), pcm, AsBytes(Speech(dir))));
  // Whole pairs of blocks, and a signal that ends within a block.
  for (const Samples& signal : {Sweep(8000, 1, 2, 0.5), speech}) {
    const auto frames = static_cast<int32_t>(signal.size());
    SCOPED_TRACE(frames);
    WriteWave(source, pcm, AsBytes(signal), 0);
    const Bytes coded = ConvertAll(pcm, gsm, AsBytes(signal));
    WriteWave(ours, gsm, coded, frames);
    // What telephony servers expect: RIFF, a 20-byte fmt chunk, fact, data, nothing else.
    Bytes expected;
    Put(expected, "RIFF", static_cast<uint32_t>(4 + 28 + 12 + 8 + coded.size()));
    expected.insert(expected.end(), {'W', 'A', 'V', 'E'});
    Put(expected, "fmt ", 20);
    expected.insert(expected.end(), gsm.Bytes(), gsm.Bytes() + 20);
    Put(expected, "fact", 4);
    expected.resize(expected.size() + 4);
    std::memcpy(expected.data() + expected.size() - 4, &frames, 4);
    Put(expected, "data", static_cast<uint32_t>(coded.size()));
    expected.insert(expected.end(), coded.begin(), coded.end());
    EXPECT_EQ(FileBytes(ours), expected);
    const Samples own = AsSamples(ConvertAll(gsm, pcm, coded));

    const size_t whole = signal.size() / 320 * 65;  // blocks no one had to pad
    for (const std::string peer : {"sox", "ffmpeg"}) {
      SCOPED_TRACE(peer);
      if (peer == "sox")
        Peer("sox " + ShellQuote(source) + " -e gsm-full-rate " + ShellQuote(theirs));
      else
        Peer("ffmpeg -v error -y -i " + ShellQuote(source) + " -c:a libgsm_ms " +
             ShellQuote(theirs));
      const WaveFile file = ReadWave(theirs);
      ASSERT_EQ(file.format, gsm);
      ASSERT_GE(file.data.size(), whole);
      EXPECT_TRUE(std::equal(coded.begin(), coded.begin() + whole, file.data.begin()));
      // Theirs decoded by us as they decode it, and ours by them as we do.
      const Samples by_them = AsSamples(PeerDecode(peer, theirs, decoded).data);
      EXPECT_EQ(Head(AsSamples(ConvertAll(gsm, pcm, file.data)), by_them.size()), by_them);
      const WaveFile played = PeerDecode(peer, ours, decoded);
      EXPECT_EQ(played.format, pcm);
      const Samples ours_by_them = AsSamples(played.data);
      ASSERT_GE(ours_by_them.size(), signal.size());
      EXPECT_EQ(Head(own, ours_by_them.size()), ours_by_them);
    }
  }
}

TEST(AcmMp3Peers, FfmpegPlaysOurFilesAndWeDecodeItsLame) {
  REQUIRE_PEER("ffmpeg");
  REQUIRE_PEER("espeak-ng");
  TTempDir dir;
  const std::string source = dir.File("source.wav"), ours = dir.File("ours.wav"),
                    theirs = dir.File("theirs.wav"), decoded = dir.File("decoded.wav");
  struct Signal {
    acm::FormatRecord pcm;
    Samples samples;
  };
  for (const Signal& s :
       {Signal{Pcm(2, 44100), Sweep(44100, 2, 2, 0.5)}, Signal{Pcm(1, 22050), Speech(dir)},
        Signal{Pcm(2, 48000), Noise(48000, 2, 1, 0.2)},
        Signal{Pcm(1, 8000), Tone(8000, 1, 1.5, 330, 0.4)}}) {
    const uint16_t channels = s.pcm.Get().nChannels;
    const auto frames = static_cast<int32_t>(s.samples.size() / channels);
    SCOPED_TRACE(std::to_string(s.pcm.Get().nSamplesPerSec) + " Hz, " + std::to_string(frames));
    const auto mp3 = SuggestTag(s.pcm, WAVE_FORMAT_MPEGLAYER3);
    const Bytes coded = ConvertAll(s.pcm, mp3, AsBytes(s.samples));
    WriteWave(ours, mp3, coded, frames);
    ASSERT_EQ(ReadWave(ours).format, mp3);
    // ffmpeg plays every frame, at our rate, as our decoder does.
    const Samples own = AsSamples(ConvertAll(mp3, s.pcm, coded));
    const WaveFile played = PeerDecode("ffmpeg", ours, decoded);
    EXPECT_EQ(played.format, s.pcm);
    const Samples by_ffmpeg = AsSamples(played.data);
    EXPECT_EQ(by_ffmpeg.size(), own.size());
    EXPECT_GE(own.size() / channels, static_cast<size_t>(frames));
    EXPECT_GT(Snr(own, by_ffmpeg), 60);

    // ffmpeg's LAME in a wave file at the same bitrate: we decode it as ffmpeg does.
    WriteWave(source, s.pcm, AsBytes(s.samples), 0);
    const uint32_t kbps = mp3.Get().nAvgBytesPerSec / 125;
    Peer("ffmpeg -v error -y -i " + ShellQuote(source) + " -c:a libmp3lame -b:a " +
         std::to_string(kbps) + "k " + ShellQuote(theirs));
    const WaveFile file = ReadWave(theirs);
    ASSERT_EQ(file.format.Get().wFormatTag, WAVE_FORMAT_MPEGLAYER3);
    const auto to = SuggestTag(file.format, WAVE_FORMAT_PCM);
    ASSERT_EQ(to, s.pcm);
    const Samples ours_of_theirs = AsSamples(ConvertAll(file.format, to, file.data));
    const Samples theirs_by_ffmpeg = AsSamples(PeerDecode("ffmpeg", theirs, decoded).data);
    EXPECT_EQ(ours_of_theirs.size(), theirs_by_ffmpeg.size());
    EXPECT_GE(ours_of_theirs.size() / channels, static_cast<size_t>(frames));
    EXPECT_GT(Snr(theirs_by_ffmpeg, ours_of_theirs), 60);
  }
}
