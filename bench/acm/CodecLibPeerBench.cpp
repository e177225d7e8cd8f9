// Wall time of whole-file encodes against the peers on the same input, each side a process of
// its own: MP3 at 128 kbit/s (44,100 Hz stereo) against ffmpeg's LAME at that bitrate, and
// GSM 6.10 (8,000 Hz mono) against sox. Prints the best of a few rounds and the ratios.
// Usage: codec_lib_peer_bench [seconds [rounds]]
//        codec_lib_peer_bench encode <tag> <source.wav> <destination.wav>  (our side)
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "platform/acm/Acm.h"
#include "wave/UKZWaveStream.h"

namespace {

std::unique_ptr<TKZWaveFormat> WaveFormatOf(const WAVEFORMATEX& AFormat) {
  auto format = TKZWaveFormat::CreateDefault();
  const auto size = static_cast<int32_t>(
      sizeof(WAVEFORMATEX) + (AFormat.wFormatTag == WAVE_FORMAT_PCM ? 0 : AFormat.cbSize));
  format->EnsureCapacity(size);
  std::memcpy(format->GetWaveFormatEx(), &AFormat, size);
  format->MarkLoaded();
  return format;
}

// The music-like signal as a wave file.
void MakeSource(const std::string& AName, uint32_t ARate, uint16_t AChannels, double ASeconds) {
  const WAVEFORMATEX pcm{WAVE_FORMAT_PCM, AChannels, ARate, 0, 0, 16, 0};
  auto wave = TKZMMIOWaveStream::OpenWriteFile(AName, *WaveFormatOf(pcm));
  if (!wave) throw Exception("cannot create " + AName);
  const auto samples = MusicSamples(ARate, AChannels, ASeconds);
  const auto size = static_cast<int32_t>(samples.size() * 2);
  if (wave->Write(AreaOf(samples.data(), size)) != size) throw Exception("cannot write " + AName);
  wave->Close();
}

// Our side: the suggestion for the tag, then 8 KB source buffers through the codec manager as
// a conversion stream converts them, and END until nothing comes.
void Encode(uint16_t ATag, const std::string& ASource, const std::string& ADest) {
  auto source = TKZMMIOWaveStream::OpenReadFile(ASource);
  if (!source) throw Exception("cannot open " + ASource);
  const auto* stream_format = dynamic_cast<const TKZWaveStreamFormat*>(source->GetFormat());
  const WAVEFORMATEX* pcm = stream_format->WaveFormat().GetWaveFormatEx();
  std::vector<uint8_t> record(64, 0);
  auto* codec = reinterpret_cast<WAVEFORMATEX*>(record.data());
  codec->wFormatTag = ATag;
  HACMSTREAM stream = nullptr;
  if (acmFormatSuggest(nullptr, pcm, codec, 64, ACM_FORMATSUGGESTF_WFORMATTAG) ||
      acmStreamOpen(&stream, nullptr, pcm, codec, nullptr, 0, 0, 0))
    throw Exception("no conversion to that tag");
  auto codec_format = TKZWaveStreamFormat::CreateFromFormat(WaveFormatOf(*codec).get());
  codec_format->Fact().SetSampleCount(stream_format->Fact().GetSampleCount());
  auto dest = TKZMMIOWaveStream::OpenWriteFile(ADest, *codec_format);
  if (!dest) throw Exception("cannot create " + ADest);
  uint32_t out_size = 0;
  acmStreamSize(stream, 8192, &out_size, ACM_STREAMSIZEF_SOURCE);
  std::vector<uint8_t> in(8192), out(out_size);
  ACMSTREAMHEADER header{};
  header.cbStruct = ACMSTREAMHEADER_MIN_CBSTRUCT;
  header.pbSrc = in.data();
  header.cbSrcLength = 8192;
  header.pbDst = out.data();
  header.cbDstLength = out_size;
  acmStreamPrepareHeader(stream, &header, 0);
  uint32_t pending = 0;
  for (bool end = false, done = false; !done;) {
    const int32_t n = end ? 0 : source->Read(AreaOf(in.data() + pending, 8192 - pending));
    if (n < 0) throw Exception("cannot read " + ASource);
    end = end || n == 0;
    pending += static_cast<uint32_t>(n);
    header.cbSrcLength = pending;
    if (acmStreamConvert(stream, &header,
                         end ? ACM_STREAMCONVERTF_END : ACM_STREAMCONVERTF_BLOCKALIGN))
      throw Exception("conversion failed");
    std::memmove(in.data(), in.data() + header.cbSrcLengthUsed, pending - header.cbSrcLengthUsed);
    pending -= header.cbSrcLengthUsed;
    const auto made = static_cast<int32_t>(header.cbDstLengthUsed);
    if (dest->Write(AreaOf(out.data(), made)) != made) throw Exception("cannot write " + ADest);
    done = end && made == 0;
  }
  header.cbSrcLength = 8192;
  acmStreamUnprepareHeader(stream, &header, 0);
  acmStreamClose(stream, 0);
  dest->Close();
}

// The best wall time of a command over rounds.
double Best(const std::string& ACommand, int ARounds) {
  double best = 1e9;
  for (int round = 0; round < ARounds; ++round) {
    const auto start = BenchClock::now();
    if (std::system(ACommand.c_str()) != 0) throw Exception("failed: " + ACommand);
    best = std::min(best, SecondsSince(start));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 5 && std::string(argv[1]) == "encode") {
      Encode(static_cast<uint16_t>(std::stoi(argv[2], nullptr, 0)), argv[3], argv[4]);
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "codec_lib_peer_bench: %s\n", e.what());
    return 1;
  }
  const double seconds = argc > 1 ? std::atof(argv[1]) : 120;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  try {
    const TBenchFolder folder;
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    const std::string cd = folder.File("cd.wav"), phone = folder.File("phone.wav");
    MakeSource(cd, 44100, 2, seconds);
    MakeSource(phone, 8000, 1, seconds * 4);
    const double mp3_ours =
        Best(self + " encode 0x55 " + cd + " " + folder.File("ours.wav"), rounds);
    const double mp3_ffmpeg = Best(
        "ffmpeg -v error -y -i " + cd + " -c:a libmp3lame -b:a 128k " + folder.File("ffmpeg.wav"),
        rounds);
    const double gsm_ours =
        Best(self + " encode 0x31 " + phone + " " + folder.File("ours-gsm.wav"), rounds);
    const double gsm_sox =
        Best("sox " + phone + " -e gsm-full-rate " + folder.File("sox-gsm.wav"), rounds);
    std::printf(
        "MP3 128 kbit/s, %.0f s of 44,100 Hz stereo, best of %d: ours %.3f s, "
        "ffmpeg libmp3lame %.3f s, ratio %.3f\n",
        seconds, rounds, mp3_ours, mp3_ffmpeg, mp3_ours / mp3_ffmpeg);
    std::printf(
        "GSM 6.10, %.0f s of 8,000 Hz mono, best of %d: ours %.3f s, sox %.3f s, "
        "ratio %.3f\n",
        seconds * 4, rounds, gsm_ours, gsm_sox, gsm_ours / gsm_sox);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "codec_lib_peer_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
