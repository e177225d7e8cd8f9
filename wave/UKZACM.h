#pragma once

#include <cstdint>

// What the wave format model asks of the audio compression manager.
class HKZACM {
 public:
  HKZACM() = delete;

  // The size in bytes of the largest format record any installed codec uses; raises when the
  // manager cannot tell.
  static int32_t MaxFormatSize();
};
