#include "platform/rtl/Stream.h"

#include "platform/rtl/Exception.h"

void TStream::ReadBuffer(void* ABuffer, int32_t ACount) {
  if (ACount != 0 && Read(ABuffer, ACount) != ACount) throw Exception("Stream read error");
}

void TStream::WriteBuffer(const void* ABuffer, int32_t ACount) {
  if (ACount != 0 && Write(ABuffer, ACount) != ACount) throw Exception("Stream write error");
}

void TStream::SetPosition(int32_t APosition) {
  if (Seek(APosition, soFromBeginning) != APosition) throw Exception("Stream seek error");
}
