#pragma once

// GSM 6.10 (tag 0x31) over libgsm, in the framing wave files use: 65-byte blocks of two frames
// (320 samples), packed as libgsm's WAV49 option packs them. Mono at 8,000, 11,025, 22,050 and
// 44,100 Hz. The encoder emits an even number of blocks (odd data sizes break some readers;
// the fact chunk carries the true length).

#include <cstdint>
#include <memory>

#include "platform/acm/AcmDriver.h"

namespace acm {

constexpr uint16_t kGsmBlockAlign = 65;
constexpr uint16_t kGsmSamplesPerBlock = 320;

std::shared_ptr<Driver> MakeGsm610Driver();

}  // namespace acm
