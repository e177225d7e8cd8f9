// Compresses a 100 MB stereo 44,100 Hz PCM wave file into IMA ADPCM with the compression job's
// steps (a reading chain, a writing chain with only the codec's tag set, the copy, Close on the
// writing chain), through unthreaded and through threaded chains, and with
// `ffmpeg -c:a adpcm_ima_wav`, in turns. Prints the best time of each and the ratios.
// Usage: compress_bench [megabytes [rounds]]
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "factory/UKZWaveStreamFactory.h"
#include "platform/rtl/Exception.h"

namespace {

// Two tones and a little noise, 16-bit stereo at 44,100 Hz.
void MakeSource(const std::string& AName, int64_t ABytes) {
  auto pcm = TKZWaveFormat::CreateDefault();
  pcm->SetFormatTag(WAVE_FORMAT_PCM);
  pcm->SetChannels(2);
  pcm->SetSamplesPerSec(44100);
  pcm->SetBitsPerSample(16);
  auto wave = TKZMMIOWaveStream::OpenWriteFile(AName, *pcm);
  if (!wave) throw Exception("cannot create " + AName);
  std::vector<int16_t> block(1 << 15);
  uint32_t noise = 1, frame = 0;
  for (int64_t done = 0; done < ABytes; done += 2 * static_cast<int64_t>(block.size())) {
    for (size_t i = 0; i < block.size(); i += 2, ++frame) {
      noise = noise * 1664525u + 1013904223u;
      const double t = frame / 44100.0;
      const double v = 0.4 * std::sin(2 * M_PI * 220 * t) + 0.2 * std::sin(2 * M_PI * 3300 * t);
      block[i] = static_cast<int16_t>(v * 32767 + static_cast<int32_t>(noise >> 24) - 128);
      block[i + 1] = static_cast<int16_t>(-block[i] / 2);
    }
    const auto n = static_cast<int32_t>(std::min<int64_t>(ABytes - done, 2 * block.size()));
    if (wave->Write(AreaOf(block.data(), n)) != n) throw Exception("cannot write " + AName);
  }
  wave->Close();
}

// The compression job's steps; threaded, both chains are.
void Compress(const std::string& ASource, const std::string& ADestination, bool AThreaded) {
  auto factory = TKZWaveStreamFactory::Create();
  factory->SetThreaded(AThreaded);
  auto reader = factory->CreateReadStream(ASource);
  if (!reader) throw Exception("cannot open " + ASource);
  factory->Reset();
  factory->GetFormat().SetFormatTag(WAVE_FORMAT_IMA_ADPCM);
  factory->SetThreaded(AThreaded);
  auto writer = factory->CreateWriteStream(ADestination, *reader->GetFormat());
  if (!writer || !TKZStream::Copy(*reader, *writer))
    throw Exception("cannot compress into " + ADestination);
  writer->Close();
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t megabytes = argc > 1 ? std::atoll(argv[1]) : 100;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  try {
    const TBenchFolder folder;
    const std::string source = folder.File("source.wav"), plain = folder.File("plain.wav"),
                      threaded = folder.File("threaded.wav"), peer = folder.File("ffmpeg.wav");
    MakeSource(source, megabytes * 1000 * 1000);
    double unthreadedTime = 1e9, threadedTime = 1e9, ffmpegTime = 1e9;
    for (int round = 0; round < rounds; ++round) {
      auto start = BenchClock::now();
      Compress(source, plain, false);
      unthreadedTime = std::min(unthreadedTime, SecondsSince(start));
      start = BenchClock::now();
      Compress(source, threaded, true);
      threadedTime = std::min(threadedTime, SecondsSince(start));
      start = BenchClock::now();
      const std::string line = "ffmpeg -v error -y -i " + source + " -c:a adpcm_ima_wav " + peer;
      if (std::system(line.c_str()) != 0) throw Exception("ffmpeg failed");
      ffmpegTime = std::min(ffmpegTime, SecondsSince(start));
    }
    if (std::filesystem::file_size(plain) != std::filesystem::file_size(threaded))
      throw Exception("the threaded chain wrote a different file");
    std::printf(
        "%lld MB to IMA ADPCM, best of %d: unthreaded chains %.3f s, threaded chains %.3f s, "
        "ffmpeg %.3f s\n"
        "ratio to ffmpeg %.2f; threaded to unthreaded %.2f\n",
        static_cast<long long>(megabytes), rounds, unthreadedTime, threadedTime, ffmpegTime,
        unthreadedTime / ffmpegTime, threadedTime / unthreadedTime);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "compress_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
