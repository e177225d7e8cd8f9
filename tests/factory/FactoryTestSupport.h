#pragma once

// What the factory suites share: the compression job's steps.

#include <string>

#include "factory/UKZWaveStreamFactory.h"
#include "tests/support/WaveFiles.h"

// A reading chain over the source; then, with only the codec's tag set, a writing chain over
// the destination, the copy, and Close on the writing chain, which raises what failed.
inline bool CompressFile(const std::string& ASource, const std::string& ADest, uint16_t ATag) {
  auto factory = TKZWaveStreamFactory::Create();
  auto reader = factory->CreateReadStream(ASource);
  factory->Reset();
  factory->GetFormat().SetFormatTag(ATag);
  auto writer = reader ? factory->CreateWriteStream(ADest, *reader->GetFormat()) : nullptr;
  const bool copied = writer && TKZStream::Copy(*reader, *writer);
  if (writer) writer->Close();
  return copied;
}
