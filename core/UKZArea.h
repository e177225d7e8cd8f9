#pragma once

#include <cstdint>

// Value records that describe memory and byte ranges, and the arithmetic on them. They own
// nothing and are copied freely. Every operation either succeeds or raises Exception with an
// empty message, leaving the record as it was; the Boolean seeks answer false instead.

// A run of bytes. Size <= 0 is empty. Start is an address, or a byte offset when the area
// names a range of a stream; it is compared unsigned. An all-ones Start marks an area that is
// never contained in another and contains none.
struct TKZArea {
  int32_t Size;
  uintptr_t Start;
};

enum TKZSeekOrigin : uint8_t { soBegin = 0, soEnd = 1, soCurrent = 2 };

struct TKZSeek {
  int32_t Offset;
  TKZSeekOrigin Origin;
};

// A range with a cursor; valid when Position <= Size, compared unsigned.
struct TKZWindow {
  int32_t Size;
  uintptr_t Start;
  int32_t Position;
};

// A circular buffer whose occupied Region starts inside Buffer and may run past Buffer's end,
// continuing at Buffer.Start.
struct TKZRing {
  TKZArea Buffer;
  TKZArea Region;
};

// Areas.
TKZArea EmptyArea();
TKZArea Area(uintptr_t AStart, int32_t ASize);
TKZArea AreaFromBounds(uintptr_t AFirst, uintptr_t AEnd);
uintptr_t AreaEnd(const TKZArea& AArea);
bool AreaNotEmpty(const TKZArea& AArea);
void CheckAreaNotEmpty(const TKZArea& AArea);
bool AreaContains(const TKZArea& AOuter, const TKZArea& AInner);
bool AreasOverlap(const TKZArea& A, const TKZArea& B);
TKZArea AreaIntersection(const TKZArea& A, const TKZArea& B);
void AreaSkip(TKZArea& AArea, int32_t N);

// Between memory and areas.
inline TKZArea AreaOf(const void* APointer, int32_t ASize) {
  return Area(reinterpret_cast<uintptr_t>(APointer), ASize);
}
inline uint8_t* AreaBytes(const TKZArea& AArea) {
  return reinterpret_cast<uint8_t*>(AArea.Start);
}

// Seek records.
TKZSeek SeekFromBegin(int32_t AOffset);
TKZSeek SeekFromEnd(int32_t AOffset);
TKZSeek SeekFromCurrent(int32_t AOffset);

// Windows.
TKZWindow WindowAt(const TKZArea& AArea, int32_t APosition);
TKZWindow Window(const TKZArea& AArea);
uintptr_t WindowPointer(const TKZWindow& AWindow);
bool WindowValid(const TKZWindow& AWindow);
void CheckWindow(const TKZWindow& AWindow);
bool WindowSeekBegin(TKZWindow& AWindow, int32_t N);
bool WindowSeekEnd(TKZWindow& AWindow, int32_t N);
bool WindowSeekCurrent(TKZWindow& AWindow, int32_t N);
bool WindowSeek(TKZWindow& AWindow, const TKZSeek& ASeek);
// Moves the cursor by N, clamped to what is left; answers how far it moved.
uint32_t WindowAdvance(TKZWindow& AWindow, uint32_t N);
// Moves the cursor by N, growing the window when that passes its end.
void WindowExtend(TKZWindow& AWindow, int32_t N);

// Rings.
TKZRing Ring(const TKZArea& ABuffer, const TKZArea& ARegion);
bool RingValid(const TKZRing& ARing);
void CheckRing(const TKZRing& ARing);
// Splits the region into contiguous runs of memory; answers how many (0, 1 or 2).
int RingPieces(const TKZRing& ARing, TKZArea& AFirst, TKZArea& ASecond);
// Takes N bytes off the region's front; a negative N puts -N bytes back in front.
void RingConsume(TKZRing& ARing, int32_t N);
// Appends N bytes at the region's end; a negative N takes -N bytes off its end.
void RingProduce(TKZRing& ARing, int32_t N);
