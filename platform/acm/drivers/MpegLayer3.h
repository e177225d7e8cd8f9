#pragma once

// MPEG Layer-3 (tag 0x55): LAME encodes at a constant bitrate, mpg123 decodes. Mono and
// stereo at the nine rates of MPEG-1, 2 and 2.5. Records are MPEGLAYER3WAVEFORMAT with
// nBlockAlign 1: the data is a stream of frames, not of fixed blocks.

#include <cstdint>
#include <memory>
#include <span>

#include "platform/acm/AcmDriver.h"

namespace acm {

// The constant bitrates in kbit/s the encoder offers at a rate (none for other rates).
std::span<const uint16_t> Mp3Bitrates(uint32_t rate);
// The bitrate a suggestion picks for a source of that rate and channel count.
uint16_t Mp3SuggestedBitrate(uint32_t rate, uint16_t channels);
// Samples per channel in one frame: 1,152 for MPEG-1 (32,000 Hz and above), else 576.
uint32_t Mp3FrameSamples(uint32_t rate);
// The complete record the encoder writes for a rate, channel count and bitrate it offers.
FormatRecord MakeMp3Format(uint16_t channels, uint32_t rate, uint16_t kbps);

std::shared_ptr<Driver> MakeMpegLayer3Driver();

}  // namespace acm
