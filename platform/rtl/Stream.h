#pragma once

#include <cstdint>

#include "platform/rtl/Object.h"

// The runtime's byte stream. Read and Write answer how many bytes they moved; Seek answers the
// new position, or -1 when the stream cannot go there.
class TStream : public TObject {
 public:
  // Seek origins, in the runtime's order (not the class library's).
  static constexpr uint16_t soFromBeginning = 0;
  static constexpr uint16_t soFromCurrent = 1;
  static constexpr uint16_t soFromEnd = 2;

  virtual int32_t Read(void* ABuffer, int32_t ACount) = 0;
  virtual int32_t Write(const void* ABuffer, int32_t ACount) = 0;
  virtual int32_t Seek(int32_t AOffset, uint16_t AOrigin) = 0;

  // All-or-nothing transfers: anything short raises.
  void ReadBuffer(void* ABuffer, int32_t ACount);
  void WriteBuffer(const void* ABuffer, int32_t ACount);

  int32_t GetPosition() { return Seek(0, soFromCurrent); }
  // Raises when the stream cannot go there.
  void SetPosition(int32_t APosition);
};
