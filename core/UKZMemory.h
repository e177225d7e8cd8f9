#pragma once

#include <cstdint>
#include <memory>

#include "core/UKZArea.h"
#include "platform/rtl/Object.h"

// Byte copy and zero fill. Note the order: source first, destination second. Counts of 0 or
// less do nothing.
class HKZMemory {
 public:
  HKZMemory() = delete;

  // Copies ACount bytes; overlapping ranges are handled as if through a temporary buffer.
  static void Copy(const void* ASource, void* ADest, int32_t ACount);
  static void Move(const void* ASource, void* ADest, int32_t ACount);
  static void Zero(void* ADest, int32_t ACount);
};

TKZArea MemArea(uintptr_t AStart, int32_t ASize);
TKZArea MemAreaFromBounds(uintptr_t AFirst, uintptr_t AEnd);
uintptr_t MemAreaEnd(const TKZArea& AArea);

// A fresh heap block of ASize bytes, not cleared; the empty area for 0. Raises std::bad_alloc
// when the heap cannot give it, and Exception for a negative size.
TKZArea AllocArea(int32_t ASize);
// Releases what AllocArea gave and empties the area; an empty area is left alone.
void FreeArea(TKZArea& AArea);

// Owns one heap block from creation to destruction.
class TKZMemChunk : public TObject {
 public:
  // Takes ownership of the memory of AArea, which came from AllocArea.
  explicit TKZMemChunk(const TKZArea& AArea) : FArea(AArea) {}
  ~TKZMemChunk() override;

  static std::unique_ptr<TKZMemChunk> CreateSized(int32_t ASize);

  TKZArea FArea;
};
