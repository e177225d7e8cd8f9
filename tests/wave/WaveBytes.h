#pragma once

// Wave files built byte by byte, for the tests and the fuzz target's seeds.

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "wave/UKZWaveFormat.h"

using Bytes = std::vector<uint8_t>;

inline void PutLE(Bytes& ABytes, uint32_t AValue, int ACount) {
  for (int i = 0; i < ACount; ++i)
    ABytes.push_back(static_cast<uint8_t>(AValue >> (8 * i)));
}

// A chunk with its header and, after odd data, its pad byte.
inline Bytes Chunk(const std::string& AId, const Bytes& AData) {
  Bytes chunk(AId.begin(), AId.end());
  PutLE(chunk, static_cast<uint32_t>(AData.size()), 4);
  chunk.insert(chunk.end(), AData.begin(), AData.end());
  if (AData.size() % 2) chunk.push_back(0);
  return chunk;
}

inline Bytes Riff(const std::string& AForm, std::initializer_list<Bytes> AChunks) {
  Bytes body(AForm.begin(), AForm.end());
  for (const Bytes& chunk : AChunks)
    body.insert(body.end(), chunk.begin(), chunk.end());
  Bytes riff{'R', 'I', 'F', 'F'};
  PutLE(riff, static_cast<uint32_t>(body.size()), 4);
  riff.insert(riff.end(), body.begin(), body.end());
  return riff;
}

// A format record of ALength bytes (16 leaves out cbSize), the PCM fields filled in.
inline Bytes Record(uint16_t ATag, uint16_t AChannels, uint32_t ARate, uint16_t ABits,
                    size_t ALength, uint16_t ACbSize = 0) {
  Bytes record;
  const uint32_t align = AChannels * (ABits / 8u);
  PutLE(record, ATag, 2);
  PutLE(record, AChannels, 2);
  PutLE(record, ARate, 4);
  PutLE(record, ARate * align, 4);
  PutLE(record, align, 2);
  PutLE(record, ABits, 2);
  PutLE(record, ACbSize, 2);
  record.resize(ALength, 0);
  return record;
}

inline std::unique_ptr<TKZWaveFormat> PcmFormat(uint16_t AChannels, uint32_t ARate,
                                                uint16_t ABits) {
  auto format = TKZWaveFormat::CreateDefault();
  format->SetFormatTag(WAVE_FORMAT_PCM);
  format->SetChannels(AChannels);
  format->SetSamplesPerSec(ARate);
  format->SetBitsPerSample(ABits);
  format->CheckComplete();
  return format;
}
