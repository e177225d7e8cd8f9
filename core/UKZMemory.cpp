#include "core/UKZMemory.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/rtl/Exception.h"

void HKZMemory::Copy(const void* ASource, void* ADest, int32_t ACount) {
  if (ACount > 0) std::memmove(ADest, ASource, static_cast<size_t>(ACount));
}

void HKZMemory::Move(const void* ASource, void* ADest, int32_t ACount) {
  Copy(ASource, ADest, ACount);
}

void HKZMemory::Zero(void* ADest, int32_t ACount) {
  if (ACount > 0) std::memset(ADest, 0, static_cast<size_t>(ACount));
}

TKZArea MemArea(uintptr_t AStart, int32_t ASize) {
  return Area(AStart, ASize);
}

TKZArea MemAreaFromBounds(uintptr_t AFirst, uintptr_t AEnd) {
  return AreaFromBounds(AFirst, AEnd);
}

uintptr_t MemAreaEnd(const TKZArea& AArea) {
  return AreaEnd(AArea);
}

TKZArea AllocArea(int32_t ASize) {
  if (ASize < 0) throw Exception();
  if (ASize == 0) return EmptyArea();
  void* block = std::malloc(static_cast<size_t>(ASize));
  if (!block) throw std::bad_alloc();
  return AreaOf(block, ASize);
}

void FreeArea(TKZArea& AArea) {
  if (AArea.Start != 0 && AArea.Size != 0) std::free(AreaBytes(AArea));
  AArea = EmptyArea();
}

TKZMemChunk::~TKZMemChunk() {
  FreeArea(FArea);
}

std::unique_ptr<TKZMemChunk> TKZMemChunk::CreateSized(int32_t ASize) {
  TKZArea area = AllocArea(ASize);
  try {
    return std::make_unique<TKZMemChunk>(area);
  } catch (...) {
    FreeArea(area);
    throw;
  }
}
