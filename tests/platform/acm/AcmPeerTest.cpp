// Files holding our codecs' data are decoded by ffmpeg and sox; files they encode are decoded
// by our drivers. Quality is held against ffmpeg's own encoders on the same generated input.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "platform/acm/AcmCodec.h"
#include "tests/platform/acm/AcmTestSupport.h"
#include "tests/support/Peers.h"
#include "tests/support/WaveFiles.h"

using namespace acmtest;

namespace {

struct WaveFile {
  acm::FormatRecord format;
  Bytes data;
};

void WriteWave(const std::string& path, const acm::FormatRecord& format, const Bytes& data,
               int32_t frames) {
  WriteWaveFile(path, *FormatOfRecord(format.Bytes(), format.Size()), data, frames);
}

WaveFile ReadWave(const std::string& path) {
  auto wave = TKZMMIOWaveStream::OpenReadFile(path);
  if (!wave) ADD_FAILURE() << "cannot read " << path;
  return wave ? WaveFile{acm::FormatRecord(*WaveOf(*wave).GetWaveFormatEx()), ReadAll(*wave)}
              : WaveFile{};
}

// A peer's decode of a wave file as 16-bit samples.
Samples PeerDecode(const std::string& peer, const std::string& wave, const std::string& raw) {
  RunPeer(peer == "ffmpeg"
              ? "ffmpeg -v error -y -i " + ShellQuote(wave) + " -f s16le -acodec pcm_s16le " +
                    ShellQuote(raw)
              : "sox " + ShellQuote(wave) + " -t raw -e signed -b 16 " + ShellQuote(raw));
  return AsSamples(ReadFileBytes(raw));
}

// A peer's encoding of a wave file, with its options for the codec.
void PeerEncode(const std::string& peer, const std::string& options, const std::string& source,
                const std::string& target) {
  RunPeer((peer == "ffmpeg" ? "ffmpeg -v error -y -i " : "sox -D ") + ShellQuote(source) + " " +
          options + " " + ShellQuote(target));
}

// Our decode of a file to 16-bit PCM.
Samples Decoded(const WaveFile& file) {
  return AsSamples(ConvertAll(file.format, SuggestTag(file.format, WAVE_FORMAT_PCM), file.data));
}

struct Signal {
  std::string name;
  acm::FormatRecord format;  // 16-bit PCM
  Samples samples;
  bool quiet = false;  // held to 20 dB in ADPCM, not to ffmpeg's own encoders
};

Signal Speech(const TTempDir& dir) {
  const std::string speech = dir.File("speech.wav");
  RunPeer("espeak-ng -w " + ShellQuote(speech) +
          " 'Pack my box with five dozen liquor jugs. How vexingly quick daft zebras jump.'");
  const WaveFile spoken = ReadWave(speech);
  return {"speech", spoken.format, AsSamples(spoken.data)};
}

// The files a peer test writes and reads, in a folder of its own.
class AcmPeers : public ::testing::Test {
 protected:
  TTempDir dir;
  const std::string source = dir.File("source.wav"), ours = dir.File("ours.wav"),
                    theirs = dir.File("theirs.wav"), raw = dir.File("decoded.raw");
};

}  // namespace

TEST_F(AcmPeers, PeersDecodeOurFilesAtLeastAsWellAsFfmpegsOwn) {
  REQUIRE_PEER("ffmpeg");
  REQUIRE_PEER("sox");
  REQUIRE_PEER("espeak-ng");
  const auto stereo = Pcm(2, 44100), mono = Pcm(1, 44100);
  // Quiet and slow tones: where steps are small, a nibble changes the prediction of decoders
  // that multiply by a unit or two more than the reference's; coded for the reference alone,
  // such a file drifts apart in ffmpeg by hundreds of units within a block.
  for (const Signal& signal : {Signal{"tone", stereo, Tone(44100, 2, 2)},
                               {"sweep", stereo, Sweep(44100, 2, 2)},
                               {"noise", stereo, Noise(44100, 2, 2)},
                               {"silence", stereo, Samples(88200, 0)},
                               {"quiet 60 Hz", mono, Tone(44100, 1, 1, 60, 0.003), true},
                               {"quiet 120 Hz", mono, Tone(44100, 1, 1, 120, 0.03), true},
                               Speech(dir)}) {
    const auto& pcm = signal.format;
    WriteWave(source, pcm, AsBytes(signal.samples), 0);
    const size_t count = signal.samples.size();
    for (uint16_t tag :
         {WAVE_FORMAT_IMA_ADPCM, WAVE_FORMAT_ADPCM, WAVE_FORMAT_ALAW, WAVE_FORMAT_MULAW}) {
      SCOPED_TRACE(signal.name + " in tag " + std::to_string(tag));
      const auto codec = SuggestTag(pcm, tag);
      WriteWave(ours, codec, ConvertAll(pcm, codec, AsBytes(signal.samples)),
                static_cast<int32_t>(count / pcm.Get().nChannels));
      const WaveFile file = ReadWave(ours);
      ASSERT_EQ(file.format, codec);
      const Samples decoded = Part(AsSamples(ConvertAll(codec, pcm, file.data)), 0, count);
      const Samples by_sox = Part(PeerDecode("sox", ours, raw), 0, count);
      const Samples by_ffmpeg = Part(PeerDecode("ffmpeg", ours, raw), 0, count);
      ASSERT_EQ(by_sox.size(), count);
      ASSERT_EQ(by_ffmpeg.size(), count);
      // sox computes as the reference does, and so does ffmpeg for G.711.
      EXPECT_EQ(by_sox, decoded);
      if (signal.name == "silence") {
        for (int16_t s : by_ffmpeg)
          ASSERT_LE(std::abs(s), 8);  // A-law has no zero
        continue;
      }
      if (tag == WAVE_FORMAT_ALAW || tag == WAVE_FORMAT_MULAW) {
        EXPECT_EQ(by_ffmpeg, decoded);
        continue;
      }
      // ffmpeg's ADPCM decoders multiply and divide where the reference shifts; our encoders
      // keep what that changes far below the coding noise.
      const double own = Snr(signal.samples, decoded), ffmpeg = Snr(signal.samples, by_ffmpeg);
      EXPECT_GT(ffmpeg, own - 1);
      if (signal.quiet) {
        EXPECT_GT(own, 20);
        continue;
      }
      const std::string encoder = tag == WAVE_FORMAT_ADPCM ? "adpcm_ms" : "adpcm_ima_wav";
      PeerEncode("ffmpeg", "-acodec " + encoder, source, theirs);
      const double floor = Snr(signal.samples, PeerDecode("ffmpeg", theirs, raw));
      EXPECT_GE(ffmpeg, floor);
      EXPECT_GE(own, floor);
    }
  }
}

TEST_F(AcmPeers, WeDecodeTheirFilesAsTheyDo) {
  REQUIRE_PEER("ffmpeg");
  REQUIRE_PEER("sox");
  for (const auto& [rate, channels] :
       {std::pair{44100u, uint16_t{2}}, std::pair{8000u, uint16_t{1}}}) {
    const Samples tone = Tone(rate, channels, 1, 330, 0.4);
    WriteWave(source, Pcm(channels, rate), AsBytes(tone), 0);
    for (const auto& [tag, ffmpeg, sox] :
         {std::tuple{WAVE_FORMAT_IMA_ADPCM, "adpcm_ima_wav", "ima-adpcm"},
          {WAVE_FORMAT_ADPCM, "adpcm_ms", "ms-adpcm"},
          {WAVE_FORMAT_ALAW, "pcm_alaw", "a-law"},
          {WAVE_FORMAT_MULAW, "pcm_mulaw", "u-law"}})
      for (const std::string peer : {"ffmpeg", "sox"}) {
        SCOPED_TRACE(peer + " " + sox + " " + std::to_string(rate));
        PeerEncode(peer,
                   peer == "ffmpeg" ? std::string("-acodec ") + ffmpeg : std::string("-e ") + sox,
                   source, theirs);
        const WaveFile file = ReadWave(theirs);
        ASSERT_EQ(file.format.Get().wFormatTag, tag);
        const Samples expected = PeerDecode(peer, theirs, raw);
        const Samples decoded = Part(Decoded(file), 0, expected.size());
        ASSERT_EQ(decoded.size(), expected.size());
        if (peer == "ffmpeg" && tag == WAVE_FORMAT_IMA_ADPCM)
          EXPECT_GT(Snr(expected, decoded), Snr(tone, expected) + 10);  // it multiplies
        else
          EXPECT_EQ(decoded, expected);
      }
  }
}

// Speech that ends within a block: our bytes are libgsm's, as the peers write them, and the
// peers decode our file as we do.
TEST_F(AcmPeers, GsmBytesAreLibgsmsAndPeersDecodeOurFiles) {
  REQUIRE_PEER("ffmpeg");
  REQUIRE_PEER("sox");
  REQUIRE_PEER("espeak-ng");
  const auto pcm = Pcm(1, 8000);
  const auto gsm = SuggestTag(pcm, WAVE_FORMAT_GSM610);
  const Signal speech = Speech(dir);
  const Samples signal = AsSamples(ConvertAll(speech.format, pcm, AsBytes(speech.samples)));
  WriteWave(source, pcm, AsBytes(signal), 0);
  const Bytes coded = ConvertAll(pcm, gsm, AsBytes(signal));
  WriteWave(ours, gsm, coded, static_cast<int32_t>(signal.size()));
  const Samples own = AsSamples(ConvertAll(gsm, pcm, coded));
  const size_t whole = signal.size() / 320 * 65;  // blocks no one had to pad
  for (const std::string peer : {"sox", "ffmpeg"}) {
    SCOPED_TRACE(peer);
    PeerEncode(peer, peer == "sox" ? "-e gsm-full-rate" : "-c:a libgsm_ms", source, theirs);
    const WaveFile file = ReadWave(theirs);
    ASSERT_EQ(file.format, gsm);
    ASSERT_GE(file.data.size(), whole);
    EXPECT_TRUE(std::equal(coded.begin(), coded.begin() + whole, file.data.begin()));
    const Samples ours_by_them = PeerDecode(peer, ours, raw);
    ASSERT_GE(ours_by_them.size(), signal.size());
    EXPECT_EQ(Part(own, 0, ours_by_them.size()), ours_by_them);
  }
}

// sox reads no MP3 in wave files ("WAV file encoding `MP3' is not supported"): ffmpeg alone.
TEST_F(AcmPeers, FfmpegPlaysOurMp3FilesAndWeDecodeItsLame) {
  REQUIRE_PEER("ffmpeg");
  REQUIRE_PEER("espeak-ng");
  for (const Signal& s : {Signal{"sweep", Pcm(2, 44100), Sweep(44100, 2, 2, 0.5)},
                          Speech(dir),  // speech, 22,050 Hz mono
                          Signal{"noise", Pcm(2, 48000), Noise(48000, 2, 1, 0.2)},
                          Signal{"tone", Pcm(1, 8000), Tone(8000, 1, 1.5, 330, 0.4)}}) {
    SCOPED_TRACE(s.name);
    const uint16_t channels = s.format.Get().nChannels;
    const size_t frames = s.samples.size() / channels;
    const auto mp3 = SuggestTag(s.format, WAVE_FORMAT_MPEGLAYER3);
    const Bytes coded = ConvertAll(s.format, mp3, AsBytes(s.samples));
    WriteWave(ours, mp3, coded, static_cast<int32_t>(frames));
    ASSERT_EQ(ReadWave(ours).format, mp3);
    // ffmpeg plays every frame, at our rate, as our decoder does.
    const std::string layout =
        std::to_string(s.format.Get().nSamplesPerSec) + "," + std::to_string(channels) + "\n";
    EXPECT_EQ(RunCommand("ffprobe -v error -show_entries stream=sample_rate,channels -of csv=p=0 " +
                         ShellQuote(ours))
                  .Output,
              layout);
    const Samples own = AsSamples(ConvertAll(mp3, s.format, coded));
    const Samples by_ffmpeg = PeerDecode("ffmpeg", ours, raw);
    EXPECT_EQ(by_ffmpeg.size(), own.size());
    EXPECT_GT(Snr(own, by_ffmpeg), 60);

    // ffmpeg's LAME in a wave file at the same bitrate: we decode it as ffmpeg does.
    WriteWave(source, s.format, AsBytes(s.samples), 0);
    PeerEncode("ffmpeg",
               "-c:a libmp3lame -b:a " + std::to_string(mp3.Get().nAvgBytesPerSec / 125) + "k",
               source, theirs);
    const WaveFile file = ReadWave(theirs);
    ASSERT_EQ(file.format.Get().wFormatTag, WAVE_FORMAT_MPEGLAYER3);
    ASSERT_EQ(SuggestTag(file.format, WAVE_FORMAT_PCM), s.format);
    const Samples decoded = Decoded(file);
    const Samples theirs_by_ffmpeg = PeerDecode("ffmpeg", theirs, raw);
    EXPECT_EQ(decoded.size(), theirs_by_ffmpeg.size());
    EXPECT_GE(decoded.size() / channels, frames);
    EXPECT_GT(Snr(theirs_by_ffmpeg, decoded), 60);
  }
}

namespace {

// The worse of ffmpeg's and sox's decodes of a wave file, as SNR against the signal.
double WorseDecode(const Samples& signal, const std::string& wave, const std::string& raw) {
  return std::min(Snr(signal, PeerDecode("ffmpeg", wave, raw)),
                  Snr(signal, PeerDecode("sox", wave, raw)));
}

}  // namespace

// Each codec's default encoder against the better of ffmpeg's and sox's default encoders, all
// scored by the worse of the two peers' decoders, on signals that strain ADPCM and G.711; and
// the ADPCM codecs' high-quality mode at least 1 dB above ffmpeg's on two of them.
TEST_F(AcmPeers, OurEncodersAreAtLeastThePeersBest) {
  REQUIRE_PEER("ffmpeg");
  REQUIRE_PEER("sox");
  struct Case {
    std::string name;
    acm::FormatRecord format;
    Samples samples;
    bool high;  // the high-quality mode's margin is held here
  };
  for (const Case& c : {Case{"music", Pcm(2, 44100), Music(44100, 2, 1.5), true},
                        {"clicks", Pcm(1, 8000), Clicks(8000, 1, 3), true},
                        {"8-bit", Pcm(1, 8000), Quiet8Bit(8000, 1, 2), false},
                        {"square", Pcm(1, 44100), Square(44100, 1, 0.5, 441), false},
                        {"near-silence", Pcm(1, 44100), NearSilence(44100, 1, 1), true}}) {
    WriteWave(source, c.format, AsBytes(c.samples), 0);
    for (const auto& [tag, ffmpeg, sox] :
         {std::tuple{WAVE_FORMAT_IMA_ADPCM, "adpcm_ima_wav", "ima-adpcm"},
          {WAVE_FORMAT_ADPCM, "adpcm_ms", "ms-adpcm"},
          {WAVE_FORMAT_ALAW, "pcm_alaw", "a-law"},
          {WAVE_FORMAT_MULAW, "pcm_mulaw", "u-law"}}) {
      SCOPED_TRACE(c.name + " in " + sox);
      const auto codec = SuggestTag(c.format, tag);
      const auto frames = static_cast<int32_t>(c.samples.size() / c.format.Get().nChannels);
      WriteWave(ours, codec, ConvertAll(c.format, codec, AsBytes(c.samples)), frames);
      const double own = WorseDecode(c.samples, ours, raw);
      PeerEncode("ffmpeg", std::string("-acodec ") + ffmpeg, source, theirs);
      const double by_ffmpeg = WorseDecode(c.samples, theirs, raw);
      PeerEncode("sox", std::string("-e ") + sox, source, theirs);
      const double by_sox = WorseDecode(c.samples, theirs, raw);
      // On these clicks sox's MS ADPCM encoder stays up to a tenth of a dB ahead of ours.
      const double slack = c.name == "clicks" && tag == WAVE_FORMAT_ADPCM ? 0.15 : 0.05;
      EXPECT_GE(own, std::max(by_ffmpeg, by_sox) - slack) << by_ffmpeg << " " << by_sox;
      if (!c.high || (tag != WAVE_FORMAT_IMA_ADPCM && tag != WAVE_FORMAT_ADPCM)) continue;
      const acm::ScopedEncoderOptions high({true, 0});
      WriteWave(ours, codec, ConvertAll(c.format, codec, AsBytes(c.samples)), frames);
      const double searched = WorseDecode(c.samples, ours, raw);
      EXPECT_GE(searched, by_ffmpeg + 1);
      EXPECT_GE(searched, own);
    }
  }
}
