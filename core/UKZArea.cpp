#include "core/UKZArea.h"

#include <algorithm>
#include <limits>

#include "core/UKZObject.h"

namespace {

constexpr uintptr_t kAllOnes = ~uintptr_t{0};

// Sizes and positions are computed in 64 bits and must come back into 32.
int32_t Narrow(int64_t AValue) {
  if (AValue < std::numeric_limits<int32_t>::min() || AValue > std::numeric_limits<int32_t>::max())
    Fail();
  return static_cast<int32_t>(AValue);
}

uintptr_t Offset(uintptr_t AStart, int64_t ADelta) {
  return AStart + static_cast<uintptr_t>(static_cast<intptr_t>(ADelta));
}

// Window operations work on a copy that is checked before it replaces the window, so that a
// failing check leaves the window as it was.
template <class Change>
auto ChangeWindow(TKZWindow& AWindow, Change AChange) {
  CheckWindow(AWindow);
  TKZWindow changed = AWindow;
  auto result = AChange(changed);
  CheckWindow(changed);
  AWindow = changed;
  return result;
}

}  // namespace

TKZArea EmptyArea() {
  return TKZArea{0, 0};
}

TKZArea Area(uintptr_t AStart, int32_t ASize) {
  return TKZArea{ASize, AStart};
}

TKZArea AreaFromBounds(uintptr_t AFirst, uintptr_t AEnd) {
  if (AFirst > AEnd || AEnd - AFirst > uintptr_t{std::numeric_limits<int32_t>::max()}) Fail();
  return Area(AFirst, static_cast<int32_t>(AEnd - AFirst));
}

uintptr_t AreaEnd(const TKZArea& AArea) {
  return Offset(AArea.Start, AArea.Size);
}

bool AreaNotEmpty(const TKZArea& AArea) {
  return AArea.Size > 0;
}

void CheckAreaNotEmpty(const TKZArea& AArea) {
  if (!AreaNotEmpty(AArea)) Fail();
}

bool AreaContains(const TKZArea& AOuter, const TKZArea& AInner) {
  if (AOuter.Start == kAllOnes || AInner.Start == kAllOnes) return false;
  if (AOuter.Start > AInner.Start) return false;
  return AreaEnd(AInner) <= AreaEnd(AOuter);
}

bool AreasOverlap(const TKZArea& A, const TKZArea& B) {
  return AreaNotEmpty(A) && AreaNotEmpty(B) && AreaEnd(A) > B.Start && AreaEnd(B) > A.Start;
}

TKZArea AreaIntersection(const TKZArea& A, const TKZArea& B) {
  if (!AreasOverlap(A, B)) return EmptyArea();
  return AreaFromBounds(std::max(A.Start, B.Start), std::min(AreaEnd(A), AreaEnd(B)));
}

void AreaSkip(TKZArea& AArea, int32_t N) {
  if (N > AArea.Size) Fail();
  const int32_t size = Narrow(int64_t{AArea.Size} - N);
  AArea.Start = Offset(AArea.Start, N);
  AArea.Size = size;
}

TKZSeek SeekFromBegin(int32_t AOffset) {
  return TKZSeek{AOffset, soBegin};
}
TKZSeek SeekFromEnd(int32_t AOffset) {
  return TKZSeek{AOffset, soEnd};
}
TKZSeek SeekFromCurrent(int32_t AOffset) {
  return TKZSeek{AOffset, soCurrent};
}

TKZWindow WindowAt(const TKZArea& AArea, int32_t APosition) {
  const TKZWindow window{AArea.Size, AArea.Start, APosition};
  CheckWindow(window);
  return window;
}

TKZWindow Window(const TKZArea& AArea) {
  return WindowAt(AArea, 0);
}

uintptr_t WindowPointer(const TKZWindow& AWindow) {
  return Offset(AWindow.Start, AWindow.Position);
}

bool WindowValid(const TKZWindow& AWindow) {
  return static_cast<uint32_t>(AWindow.Position) <= static_cast<uint32_t>(AWindow.Size);
}

void CheckWindow(const TKZWindow& AWindow) {
  if (!WindowValid(AWindow)) Fail();
}

bool WindowSeekBegin(TKZWindow& AWindow, int32_t N) {
  return ChangeWindow(AWindow, [N](TKZWindow& w) {
    if (N < 0 || N > w.Size) return false;
    w.Position = N;
    return true;
  });
}

bool WindowSeekEnd(TKZWindow& AWindow, int32_t N) {
  return ChangeWindow(AWindow, [N](TKZWindow& w) {
    if (N > 0 || -int64_t{N} > w.Size) return false;
    w.Position = w.Size + N;
    return true;
  });
}

bool WindowSeekCurrent(TKZWindow& AWindow, int32_t N) {
  return ChangeWindow(AWindow, [N](TKZWindow& w) {
    const int64_t target = int64_t{w.Position} + N;
    if (target > w.Size || target < 0) return false;
    w.Position = static_cast<int32_t>(target);
    return true;
  });
}

bool WindowSeek(TKZWindow& AWindow, const TKZSeek& ASeek) {
  switch (ASeek.Origin) {
    case soBegin:
      return WindowSeekBegin(AWindow, ASeek.Offset);
    case soEnd:
      return WindowSeekEnd(AWindow, ASeek.Offset);
    case soCurrent:
      return WindowSeekCurrent(AWindow, ASeek.Offset);
  }
  Fail();
}

uint32_t WindowAdvance(TKZWindow& AWindow, uint32_t N) {
  return ChangeWindow(AWindow, [N](TKZWindow& w) {
    const uint32_t n =
        std::min(N, static_cast<uint32_t>(w.Size) - static_cast<uint32_t>(w.Position));
    if (!WindowSeekCurrent(w, static_cast<int32_t>(n))) Fail();
    return n;
  });
}

void WindowExtend(TKZWindow& AWindow, int32_t N) {
  ChangeWindow(AWindow, [N](TKZWindow& w) {
    const int32_t target = Narrow(int64_t{w.Position} + N);
    if (target > w.Size) w.Size = target;
    w.Position = target;
    return 0;
  });
}

TKZRing Ring(const TKZArea& ABuffer, const TKZArea& ARegion) {
  return TKZRing{ABuffer, ARegion};
}

bool RingValid(const TKZRing& ARing) {
  return AreaContains(ARing.Buffer, Area(ARing.Region.Start, 1)) &&
         static_cast<uint32_t>(ARing.Region.Size) <= static_cast<uint32_t>(ARing.Buffer.Size);
}

void CheckRing(const TKZRing& ARing) {
  if (!RingValid(ARing)) Fail();
}

int RingPieces(const TKZRing& ARing, TKZArea& AFirst, TKZArea& ASecond) {
  CheckRing(ARing);
  if (ARing.Region.Size <= 0) {
    AFirst = EmptyArea();
    ASecond = EmptyArea();
    return 0;
  }
  if (AreaContains(ARing.Buffer, ARing.Region)) {
    AFirst = ARing.Region;
    ASecond = EmptyArea();
    return 1;
  }
  const TKZArea first = AreaIntersection(ARing.Buffer, ARing.Region);
  if (AreaEnd(first) != AreaEnd(ARing.Buffer)) Fail();
  AFirst = first;
  ASecond = Area(ARing.Buffer.Start, ARing.Region.Size - first.Size);
  return 2;
}

// The region's start is moved as an offset into the buffer, so that the wrap never depends on
// where in the address space the buffer lies.
void RingConsume(TKZRing& ARing, int32_t N) {
  CheckRing(ARing);
  const int64_t size = ARing.Region.Size;
  const int64_t capacity = ARing.Buffer.Size;
  if (N > 0 ? N > size : size - int64_t{N} > capacity) Fail();
  int64_t offset = static_cast<int64_t>(ARing.Region.Start - ARing.Buffer.Start) + N;
  if (offset >= capacity) offset -= capacity;
  if (offset < 0) offset += capacity;
  ARing.Region.Start = Offset(ARing.Buffer.Start, offset);
  ARing.Region.Size = static_cast<int32_t>(size - N);
}

void RingProduce(TKZRing& ARing, int32_t N) {
  CheckRing(ARing);
  const int64_t size = int64_t{ARing.Region.Size} + N;
  if (N > 0 ? size > ARing.Buffer.Size : size < 0) Fail();
  ARing.Region.Size = static_cast<int32_t>(size);
}
