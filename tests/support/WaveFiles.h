#pragma once

// Wave files and formats for tests: files built byte by byte, complete formats, a stream over
// memory with a wave format, files written and read whole, and test tones in every linear
// format with a measure of how close decoded audio comes to them.

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/MemoryStream.h"
#include "tests/support/Signals.h"
#include "wave/UKZWaveStream.h"

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
  return Chunk("RIFF", body);
}

// A format record of ALength bytes (16 leaves out cbSize), the PCM fields filled in.
inline Bytes Record(uint16_t ATag, uint16_t AChannels, uint32_t ARate, uint16_t ABits,
                    size_t ALength, uint16_t ACbSize = 0) {
  Bytes record;
  const uint32_t align = AChannels * (ABits / 8u);
  for (auto [value, count] : {std::pair<uint32_t, int>{ATag, 2},
                              {AChannels, 2},
                              {ARate, 4},
                              {ARate * align, 4},
                              {align, 2},
                              {ABits, 2},
                              {ACbSize, 2}})
    PutLE(record, value, count);
  record.resize(ALength, 0);
  return record;
}

// A format from a record as a file stores it; a complete PCM (tag 1) or float (tag 3) format;
// a template with only a tag (and a rate).
std::unique_ptr<TKZWaveFormat> FormatOfRecord(const void* ARecord, size_t ASize);
std::unique_ptr<TKZWaveFormat> MakeLinear(uint16_t ATag, uint16_t AChannels, uint32_t ARate,
                                          uint16_t ABits);
std::unique_ptr<TKZWaveFormat> Tagged(uint16_t ATag, uint32_t ARate = 0);

inline const TKZWaveStreamFormat& StreamFormatOf(TKZStream& AStream) {
  return dynamic_cast<const TKZWaveStreamFormat&>(*AStream.GetFormat());
}
inline TKZWaveFormat& WaveOf(TKZStream& AStream) {
  return StreamFormatOf(AStream).WaveFormat();
}

// A stream over memory with a wave format of its own, as a conversion's inner stream.
struct TWaveMemory : TMemoryStream {
  explicit TWaveMemory(const TKZWaveFormat& AFormat, Bytes AData = {})
      : TMemoryStream(std::move(AData)) {
    Format.SetWaveFormat(&AFormat);
  }
  const TKZFormat* GetFormat() override { return &Format; }
  TKZWaveStreamFormat Format;
};

// Everything a stream delivers, read in pieces of no block's size.
Bytes ReadAll(TKZStream& AStream);
// A wave file of the audio; a positive frame count goes into its fact chunk.
void WriteWaveFile(const std::string& AFileName, const TKZWaveFormat& AFormat, const Bytes& AAudio,
                   int32_t AFrames = 0);

// Test tones: each channel carries its own tone (440 or 660 Hz) and a shared 1,250 Hz one,
// peaking at half of full scale; all lie below 4,000 Hz, so any rate a codec chooses keeps
// them. AFrames frames in a complete linear format, and linear bytes as samples.
Bytes ToneBytes(const TKZWaveFormat& AFormat, int32_t AFrames);
std::vector<double> SamplesOf(const Bytes& ABytes, const TKZWaveFormat& AFormat);
// Signal to residual in dB, the worst channel, of interleaved audio against the tones at any
// phase (a codec's delay costs nothing), over whole 0.2 s periods from frame AFrom to ATo.
double ToneSnr(const std::vector<double>& ASamples, uint16_t AChannels, uint32_t ARate,
               size_t AFrom, size_t ATo);
