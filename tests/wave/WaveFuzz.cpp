// Arbitrary bytes opened as a wave file: a malformed file must be refused or read within its
// bounds, never crash, hang or leak.
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/support/MemoryStream.h"
#include "tests/wave/WaveBytes.h"
#include "wave/UKZWaveStream.h"

namespace {

void WriteSeed(const std::string& AFolder, const std::string& AName, const Bytes& ABytes) {
  std::ofstream(AFolder + "/" + AName, std::ios::binary)
      .write(reinterpret_cast<const char*>(ABytes.data()),
             static_cast<std::streamsize>(ABytes.size()));
}

Bytes Written(const TKZFormat& AFormat, int32_t AAudioBytes) {
  TMemoryStream memory;
  auto wave = TKZMMIOWaveStream::OpenWriteStream(memory, AFormat);
  const Bytes audio = PseudoRandomBytes(static_cast<size_t>(AAudioBytes), 3);
  wave->Write(AreaOf(audio.data(), AAudioBytes));
  wave->Close();
  return memory.Data;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* folder = std::getenv("CORVANE_FUZZ_SEEDS");
  if (!folder) return 0;
  WriteSeed(folder, "pcm8mono.wav", Written(*PcmFormat(1, 8000, 8), 33));
  WriteSeed(folder, "pcm16stereo.wav", Written(*PcmFormat(2, 44100, 16), 64));
  auto counted = TKZWaveStreamFormat::CreateFromFormat(PcmFormat(2, 8000, 8).get());
  counted->Fact().SetSampleCount(16);
  WriteSeed(folder, "fact.wav", Written(*counted, 32));
  const Bytes audio = PseudoRandomBytes(48, 5);
  WriteSeed(
      folder, "list.wav",
      Riff("WAVE", {Chunk("LIST", {'I', 'N', 'F', 'O'}), Chunk("fmt ", Record(1, 1, 8000, 16, 16)),
                    Chunk("LIST", {'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 1, 0, 0, 0, 'x', 0}),
                    Chunk("data", audio)}));
  WriteSeed(folder, "float.wav",
            Riff("WAVE", {Chunk("fmt ", Record(3, 1, 8000, 32, 18)), Chunk("fact", {12, 0, 0, 0}),
                          Chunk("data", audio)}));
  Bytes extensible = Record(0xFFFE, 6, 48000, 24, 40, 22);
  extensible[24] = 1;  // the sub-format: PCM
  WriteSeed(folder, "extensible.wav",
            Riff("WAVE", {Chunk("fmt ", extensible), Chunk("data", audio)}));
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
  int64_t total = 0;
  for (int32_t n; (n = wave->Read(AreaOf(buffer, sizeof buffer))) > 0;)
    total += n;
  if (total > static_cast<int64_t>(ASize)) std::abort();
  wave->Close();
  return 0;
}
