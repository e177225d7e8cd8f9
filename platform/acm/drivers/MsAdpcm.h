#pragma once

// MS ADPCM (tag 2): 4 bits per sample with a second-order predictor chosen per block and
// channel from the record's coefficient pairs. A block holds the predictor indexes, the
// deltas, sample 1 and sample 2 (each per channel), then the nibbles, high nibble first.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/acm/AcmDriver.h"

namespace acm {

// The seven standard coefficient pairs.
extern const ADPCMCOEFSET kMsAdpcmCoefficients[7];

// Samples per block of a block alignment: 2 × (align − 7 × channels) / channels + 2; 0 when
// the block is too small for its header.
uint32_t MsAdpcmSamplesPerBlock(uint32_t block_align, uint16_t channels);
// The frames the first bytes of a block hold (at most samples_per_block).
uint32_t MsAdpcmFramesIn(uint32_t bytes, uint16_t channels, uint32_t samples_per_block);

// Encodes whole blocks of samples_per_block interleaved frames (1 or 2 channels, at least 3
// frames a block). Per channel it codes the block with the predictors whose residual energy is
// near the least (with every predictor where that codes badly), the least residual's from the
// first delta that codes the block's start best, and keeps the one of least decoded error in both
// the decoders that shift and those that divide; the quantiser rounds against the mean of their
// predictions, and keeps the delta between 16 and 32,767. Blocks do not depend on each other.
void MsAdpcmEncodeBlocks(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                         std::span<const ADPCMCOEFSET> coefficients, size_t blocks, uint8_t* out);
// The same blocks by a search over nibble paths (the high-quality mode) under the predictor
// MsAdpcmEncodeBlocks chooses: coder states grouped by the size of their delta, a few distinct
// ones in each, scored by the squared error of both decoder families and ranked with a look ahead
// of one sample, the header's first delta among what is searched. A block's channels and a call's
// blocks are searched two at a time where the processor has two cores.
void MsAdpcmSearchBlocks(const int16_t* frames, uint16_t channels, uint32_t samples_per_block,
                         std::span<const ADPCMCOEFSET> coefficients, size_t blocks, uint8_t* out);
// Decodes the first bytes of a block into MsAdpcmFramesIn frames with 64-bit arithmetic. A
// predictor index beyond the coefficients is taken as 0.
uint32_t MsAdpcmDecodeBlock(const uint8_t* in, uint32_t bytes, uint16_t channels,
                            uint32_t samples_per_block, std::span<const ADPCMCOEFSET> coefficients,
                            int16_t* out);

// Decodes whole blocks of block_align bytes into blocks × samples_per_block frames (mono blocks
// two at a time); answers the frames a block holds.
uint32_t MsAdpcmDecodeBlocks(const uint8_t* in, uint32_t block_align, uint16_t channels,
                             uint32_t samples_per_block, std::span<const ADPCMCOEFSET> coefficients,
                             size_t blocks, int16_t* out);

// 1 or 2 channels, 1,000 to 192,000 Hz, 7 to 256 coefficient pairs.
std::shared_ptr<Driver> MakeMsAdpcmDriver();

}  // namespace acm
