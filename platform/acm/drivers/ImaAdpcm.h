#pragma once

// IMA ADPCM (tag 0x11): 4 bits per sample. A block holds per channel a 4-byte header (the
// first sample, the step index 0..88, a zero byte), then 4-byte groups of 8 samples per
// channel, interleaved, low nibble first.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/acm/AcmDriver.h"

namespace acm {

// Samples per block of a block alignment: 2 × (align − 4 × channels) / channels + 1; 0 when
// the block does not hold whole groups.
uint32_t ImaSamplesPerBlock(uint32_t block_align, uint16_t channels);
// The frames the first bytes of a block hold: the header sample and whole groups only.
uint32_t ImaFramesIn(uint32_t bytes, uint16_t channels);

// Encodes whole blocks of samples_per_block interleaved frames (1 or 2 channels) into their
// bytes. Each block starts from the step index, of those around the one matched to its own first
// samples, whose first samples decode closest, so blocks do not depend on each other. The decoder
// reconstructs the middle of the interval a nibble selects, so that for the sample alone the
// truncating quantiser's magnitude is the best; the encoder looks one sample ahead as well (a
// magnitude also sets the next step) and serves both the decoders that sum shifted steps and those
// that multiply.
void ImaEncodeBlocks(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                     size_t blocks, uint8_t* out);
// The same blocks by a search over nibble paths (the high-quality mode): coder states grouped by
// step index, a few distinct ones in each, scored by the squared error of both decoder families and
// ranked with a look ahead of one sample, the header's step index among what is searched. A block's
// channels and a call's blocks are searched two at a time where the processor has two cores. Many
// times slower than ImaEncodeBlocks.
void ImaSearchBlocks(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                     size_t blocks, uint8_t* out);
// Decodes the first bytes of a block (at most a whole block) into ImaFramesIn frames. Any
// bytes are safe: a header's step index is clamped to 0..88.
uint32_t ImaDecodeBlock(const uint8_t* in, uint32_t bytes, uint16_t channels, int16_t* out);

// 1 or 2 channels, 1,000 to 192,000 Hz.
std::shared_ptr<Driver> MakeImaAdpcmDriver();

}  // namespace acm
