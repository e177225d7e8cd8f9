#include "tests/support/MemoryStream.h"

#include <algorithm>
#include <cstring>

int32_t TMemoryStream::Read(const TKZArea& AArea) {
  Note("read");
  if (FailReads) return -1;
  const int64_t left = static_cast<int64_t>(Data.size()) - Position;
  int64_t n = std::max<int64_t>(0, std::min<int64_t>(AArea.Size, left));
  if (ReadLimit > 0) n = std::min<int64_t>(n, ReadLimit);
  // An empty vector may have no storage at all: nothing to copy is no copy.
  if (n > 0) std::memcpy(AreaBytes(AArea), Data.data() + Position, static_cast<size_t>(n));
  Position += static_cast<int32_t>(n);
  return static_cast<int32_t>(n);
}

int32_t TMemoryStream::Write(const TKZArea& AArea) {
  Note("write");
  int64_t n = std::max<int32_t>(0, AArea.Size);
  if (WriteCapacity >= 0) {
    n = std::min(n, WriteCapacity);
    WriteCapacity -= n;
  }
  if (Data.size() < static_cast<size_t>(Position + n)) Data.resize(Position + n);
  if (n > 0) std::memcpy(Data.data() + Position, AreaBytes(AArea), static_cast<size_t>(n));
  Position += static_cast<int32_t>(n);
  return static_cast<int32_t>(n);
}

bool TMemoryStream::Seek(const TKZSeek& ASeek) {
  Note("seek");
  if (FailSeeks) return false;
  int64_t base = 0;
  if (ASeek.Origin == soCurrent) base = Position;
  if (ASeek.Origin == soEnd) base = static_cast<int64_t>(Data.size());
  const int64_t target = base + ASeek.Offset;
  if (target < 0 || target > static_cast<int64_t>(Data.size())) return false;
  Position = static_cast<int32_t>(target);
  return true;
}

std::vector<uint8_t> PseudoRandomBytes(size_t ACount, uint32_t ASeed) {
  std::vector<uint8_t> bytes(ACount);
  uint32_t x = ASeed ? ASeed : 1;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return bytes;
}
