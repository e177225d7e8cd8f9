// Copies a 100 MB PCM wave file through the wave file streams (OpenReadFile, OpenWriteFile,
// TKZStream::Copy) and with cp, in turns, and prints the best time of each and their ratio.
// dd with 8192-byte blocks, the copy buffer's size, shows what plain reads and writes of that
// size cost on the same machine.
// Usage: wave_copy_bench [megabytes [rounds]]
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "wave/UKZWaveStream.h"

namespace {

// 16-bit stereo at 44,100 Hz, a pattern that changes with every block.
void MakeSource(const std::string& AName, int64_t ABytes) {
  auto pcm = TKZWaveFormat::CreateDefault();
  pcm->SetFormatTag(WAVE_FORMAT_PCM);
  pcm->SetChannels(2);
  pcm->SetSamplesPerSec(44100);
  pcm->SetBitsPerSample(16);
  auto wave = TKZMMIOWaveStream::OpenWriteFile(AName, *pcm);
  if (!wave) throw Exception("cannot create " + AName);
  std::vector<uint8_t> block(1 << 16);
  for (int64_t done = 0; done < ABytes; done += static_cast<int64_t>(block.size())) {
    for (size_t i = 0; i < block.size(); ++i)
      block[i] = static_cast<uint8_t>(i * 7 + done / 65536);
    const auto n = static_cast<int32_t>(std::min<int64_t>(ABytes - done, block.size()));
    if (wave->Write(AreaOf(block.data(), n)) != n) throw Exception("cannot write " + AName);
  }
  wave->Close();
}

void WaveCopy(const std::string& ASource, const std::string& ADest) {
  auto source = TKZMMIOWaveStream::OpenReadFile(ASource);
  if (!source) throw Exception("cannot open " + ASource);
  auto dest = TKZMMIOWaveStream::OpenWriteFile(ADest, *source->GetFormat());
  if (!dest || !TKZStream::Copy(*source, *dest)) throw Exception("cannot copy to " + ADest);
  dest->Close();
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t megabytes = argc > 1 ? std::atoll(argv[1]) : 100;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  try {
    const TBenchFolder folder;
    const std::string source = folder.File("source.wav"), copy = folder.File("copy.wav"),
                      copied = folder.File("cp.wav"), dd = folder.File("dd.wav");
    MakeSource(source, megabytes * 1000 * 1000);
    double wave = 1e9, cp = 1e9, blocks = 1e9;
    for (int round = 0; round < rounds; ++round) {
      std::filesystem::remove(copy);
      std::filesystem::remove(copied);
      auto start = BenchClock::now();
      WaveCopy(source, copy);
      wave = std::min(wave, SecondsSince(start));
      start = BenchClock::now();
      if (std::system(("cp " + source + " " + copied).c_str()) != 0) throw Exception("cp failed");
      cp = std::min(cp, SecondsSince(start));
      std::filesystem::remove(dd);
      start = BenchClock::now();
      const std::string line = "dd bs=8192 status=none if=" + source + " of=" + dd;
      if (std::system(line.c_str()) != 0) throw Exception("dd failed");
      blocks = std::min(blocks, SecondsSince(start));
    }
    // The copy carries the sample count in a fact chunk, which the source lacks.
    if (std::filesystem::file_size(copy) != std::filesystem::file_size(source) + 12)
      throw Exception("the copy differs in size");
    std::printf(
        "%lld MB, best of %d: wave streams %.3f s, cp %.3f s, ratio %.2f"
        " (dd bs=8192 %.3f s)\n",
        static_cast<long long>(megabytes), rounds, wave, cp, wave / cp, blocks);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "wave_copy_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
