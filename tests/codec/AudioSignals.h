#pragma once

// Test tones in every linear format, and how close decoded audio comes to them. Each channel
// carries its own tone (440 or 660 Hz) and a shared 1,250 Hz one, peaking at half of full scale;
// all lie below 4,000 Hz, so any rate a codec chooses keeps them.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stream/UKZStream.h"
#include "wave/UKZWaveFormat.h"

// A complete PCM (tag 1) or float (tag 3) format; a template with only a tag (and a rate).
std::unique_ptr<TKZWaveFormat> MakeLinear(uint16_t ATag, uint16_t AChannels, uint32_t ARate,
                                          uint16_t ABits);
std::unique_ptr<TKZWaveFormat> Tagged(uint16_t ATag, uint32_t ARate = 0);
// AFrames frames of the tones in a complete linear format, and linear bytes as samples.
std::vector<uint8_t> ToneBytes(const TKZWaveFormat& AFormat, int32_t AFrames);
std::vector<double> Samples(const std::vector<uint8_t>& ABytes, const TKZWaveFormat& AFormat);
// A wave file of the tones with its sample count.
void WriteToneFile(const std::string& AFileName, const TKZWaveFormat& AFormat, int32_t AFrames);
// Everything a stream delivers, read in pieces of no block's size.
std::vector<uint8_t> ReadAll(TKZStream& AStream);
// Signal to residual in dB, the worst channel, of interleaved audio against the tones at any
// phase (a codec's delay costs nothing), over whole 0.2 s periods from frame AFrom to ATo.
double ToneSnr(const std::vector<double>& ASamples, uint16_t AChannels, uint32_t ARate,
               size_t AFrom, size_t ATo);
