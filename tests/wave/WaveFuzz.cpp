// Arbitrary bytes opened as a wave file: a malformed file must be refused or read within its
// bounds, never crash, hang or leak.
#include <cstdlib>
#include <string>

#include "tests/support/Peers.h"
#include "tests/support/WaveFiles.h"
#include "wave/UKZWaveStream.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* folder = std::getenv("CORVANE_FUZZ_SEEDS");
  if (!folder) return 0;
  const Bytes audio = PseudoRandomBytes(33, 5), list = Chunk("LIST", {'I', 'N', 'F', 'O'});
  const Bytes pcm8 = Chunk("fmt ", Record(1, 1, 8000, 8, 16)), data = Chunk("data", audio);
  Bytes extensible = Record(0xFFFE, 6, 48000, 24, 40, 22);
  extensible[24] = 1;  // the sub-format: PCM
  const std::pair<std::string, Bytes> seeds[] = {
      {"pcm8mono", Riff("WAVE", {pcm8, data})},
      {"pcm16stereo", Riff("WAVE", {Chunk("fmt ", Record(1, 2, 44100, 16, 18)), data})},
      {"fact", Riff("WAVE", {pcm8, Chunk("fact", {33, 0, 0, 0}), data})},
      {"list", Riff("WAVE", {list, pcm8, list, data})},
      {"float", Riff("WAVE", {Chunk("fmt ", Record(3, 1, 8000, 32, 18)),
                              Chunk("fact", {8, 0, 0, 0}), data})},
      {"extensible", Riff("WAVE", {Chunk("fmt ", extensible), data})}};
  for (const auto& [name, bytes] : seeds)
    WriteFileBytes(std::string(folder) + "/" + name + ".wav", bytes);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  TMemoryStream memory(Bytes(AData, AData + ASize));
  auto wave = TKZMMIOWaveStream::OpenReadStream(memory);
  if (!wave) return 0;
  const auto& format = dynamic_cast<const TKZWaveStreamFormat&>(*wave->GetFormat());
  TMemoryStream record;
  format.WaveFormat().WriteTo(*record.AsStream());
  if (!CloneOf(format.WaveFormat())->IsEqual(format.WaveFormat())) std::abort();
  uint8_t buffer[4096];
  size_t total = 0;
  for (int32_t n; (n = wave->Read(AreaOf(buffer, sizeof buffer))) > 0;)
    total += static_cast<size_t>(n);
  if (total > ASize) std::abort();  // more audio than bytes in the file
  wave->Close();
  return 0;
}
