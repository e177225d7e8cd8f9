#pragma once

// G.711 A-law (tag 6) and mu-law (tag 7): one byte per sample. Decoding is bit-exact with the
// reference tables of ITU-T G.711; encoding takes the code whose decoded value is nearest the
// 16-bit sample (the reference truncates), so any decoder reads it as the standard has it.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/acm/AcmDriver.h"

namespace acm {

uint8_t LinearToAlaw(int16_t sample);
int16_t AlawToLinear(uint8_t code);
uint8_t LinearToMulaw(int16_t sample);
int16_t MulawToLinear(uint8_t code);

// 8 bits, nBlockAlign = channels, 1 to 8 channels, 1,000 to 192,000 Hz.
std::shared_ptr<Driver> MakeAlawDriver();
std::shared_ptr<Driver> MakeMulawDriver();

}  // namespace acm
