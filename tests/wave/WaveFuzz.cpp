// Arbitrary bytes opened as a wave file: a malformed file must be refused or read within its
// bounds, never crash, hang or leak.
#include <algorithm>
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
  // RF64: the ds64 chunk first, its sizes 64-bit, the data chunk's size 0xFFFFFFFF.
  auto rf64 = [&](const char* AForm, uint32_t ATableLength) {
    Bytes ds64;
    for (uint32_t value : {0u, 0u, static_cast<uint32_t>(audio.size()), 0u, 33u, 0u})
      PutLE(ds64, value, 4);
    PutLE(ds64, ATableLength, 4);
    for (uint32_t i = 0; i < ATableLength; ++i) {
      ds64.insert(ds64.end(), {'d', 'a', 't', 'a'});
      PutLE(ds64, 33, 4);
      PutLE(ds64, 0, 4);
    }
    Bytes file = Riff("WAVE", {Chunk("ds64", ds64), pcm8, list, Chunk("data", audio)});
    std::copy_n(AForm, 4, file.begin());
    const auto riffSize = static_cast<uint32_t>(file.size() - 8);
    for (int i = 0; i < 4; ++i)
      file[20 + i] = static_cast<uint8_t>(riffSize >> (8 * i));
    file[4] = file[5] = file[6] = file[7] = 0xFF;
    const size_t at = file.size() - audio.size() - 1 - 4;  // the data chunk's size (odd: a pad)
    for (int i = 0; i < 4; ++i)
      file[at + i] = 0xFF;
    return file;
  };
  Bytes bext(610, 0);
  bext[338] = 0x80;  // a time reference
  const std::pair<std::string, Bytes> seeds[] = {
      {"rf64", rf64("RF64", 0)},
      {"bw64", rf64("BW64", 1)},
      {"bext", Riff("WAVE", {Chunk("bext", bext), pcm8, list, data})},
      {"float64", Riff("WAVE", {Chunk("fmt ", Record(3, 2, 8000, 64, 16)), data})},
      {"pcm20", Riff("WAVE", {Chunk("fmt ", Record(1, 1, 8000, 20, 16)), data})},
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
  size_t carried = 0;
  for (const TKZWaveChunk& chunk : format.Metadata())
    carried += chunk.Data.size();
  if (carried > ASize) std::abort();  // tags that the file does not hold
  uint8_t buffer[4096];
  size_t total = 0;
  for (int32_t n; (n = wave->Read(AreaOf(buffer, sizeof buffer))) > 0;)
    total += static_cast<size_t>(n);
  if (total > ASize) std::abort();  // more audio than bytes in the file
  wave->Close();
  return 0;
}
