// What the compression job's care costs and how fast it refuses: the time to refuse sources
// that are no wave files (100 MB of zeros, /dev/zero, 100 MB of empty chunks behind a RIFF
// header, a FIFO without a writer), and 500 small files compressed with each one synced to
// disk against without.
// Usage: job_failure_bench [rounds]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "app/CompressionJob.h"
#include "bench/BenchSupport.h"
#include "wave/UKZWaveStream.h"

namespace {

// The best of ARounds runs, in milliseconds.
double Best(int ARounds, const std::function<void()>& ARun) {
  double best = 1e9;
  for (int i = 0; i < ARounds; ++i) {
    const auto start = BenchClock::now();
    ARun();
    best = std::min(best, SecondsSince(start) * 1000);
  }
  return best;
}

void Refused(const std::string& ASource, const std::string& ADestination) {
  try {
    CompressFile(ASource, ADestination, WAVE_FORMAT_ALAW);
  } catch (const Exception&) {
    return;
  }
  throw std::runtime_error(ASource + " was not refused");
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  TBenchFolder folder;
  const std::string zeros = folder.File("zeros.wav"), chunks = folder.File("chunks.wav"),
                    fifo = folder.File("fifo.wav"), out = folder.File("out.wav");
  std::ofstream(zeros).close();
  if (truncate(zeros.c_str(), 100'000'000) != 0 || mkfifo(fifo.c_str(), 0644) != 0) return 1;
  {
    std::ofstream file(chunks, std::ios::binary);
    const uint32_t size = 100'000'000 - 8;
    file.write("RIFF", 4).write(reinterpret_cast<const char*>(&size), 4).write("WAVE", 4);
    const std::string empty("abcd\0\0\0\0", 8);
    for (int i = 0; i < 100'000'000 / 8 - 2; ++i)
      file << empty;
  }
  std::printf("refusal, best of %d\n", rounds);
  for (const std::string& source : {zeros, std::string("/dev/zero"), chunks, fifo})
    std::printf("  %-40s %8.3f ms\n", source.substr(source.rfind('/') + 1).c_str(),
                Best(rounds, [&] { Refused(source, out); }));

  // 500 files of 16 KB, as a batch of prompts might hold.
  auto pcm = TKZWaveFormat::CreateDefault();
  pcm->SetFormatTag(WAVE_FORMAT_PCM);
  pcm->SetChannels(1);
  pcm->SetSamplesPerSec(16000);
  pcm->SetBitsPerSample(16);
  const std::string source = folder.File("small.wav");
  {
    auto wave = TKZMMIOWaveStream::OpenWriteFile(source, *pcm);
    std::vector<uint8_t> audio(16000, 1);
    wave->Write(AreaOf(audio.data(), static_cast<int32_t>(audio.size())));
    wave->Close();
  }
  std::printf("500 files of 16 KB into A-law, best of %d\n", rounds);
  for (bool sync : {true, false}) {
    TCompressOptions options;
    options.Sync = sync;
    std::printf("  %-40s %8.1f ms\n", sync ? "synced (the default)" : "not synced (--no-sync)",
                Best(rounds, [&] {
                  for (int i = 0; i < 500; ++i)
                    CompressFile(source, folder.File(std::to_string(i) + ".wav"), WAVE_FORMAT_ALAW,
                                 options);
                }));
  }
  return 0;
}
