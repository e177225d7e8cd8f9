// Arbitrary bytes as the head of a file that is added to the window's list: the header walk
// answers, never reads past what it was given, and never loops.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "app/corvane_unit1.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A seed: a PCM file's header and a little data.
  if (const char* seeds = std::getenv("CORVANE_FUZZ_SEEDS")) {
    const char header[] =
        "RIFF\x2c\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0"
        "data\x08\0\0\0\0\0\0\0\0\0\0\0";
    std::ofstream(std::string(seeds) + "/pcm-header", std::ios::binary)
        .write(header, sizeof header - 1);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  std::istringstream file(std::string(reinterpret_cast<const char*>(AData), ASize));
  const TWaveInfo info = ReadWaveInfo(file);
  if (!info.Wave && (!info.Format.empty() || info.Seconds != -1)) std::abort();
  return 0;
}
