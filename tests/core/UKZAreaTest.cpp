#include "core/UKZArea.h"

#include <gtest/gtest.h>

#include "platform/rtl/Exception.h"

static bool operator==(const TKZArea& A, const TKZArea& B) {
  return A.Size == B.Size && A.Start == B.Start;
}

namespace {

// Addresses above 2^31 catch comparisons done signed or in 32 bits.
constexpr uintptr_t kHigh = uintptr_t{0x9000'0000}, kAllOnes = ~uintptr_t{0};

TEST(UKZArea, GuardsRaiseAndLeaveTheRecord) {
  EXPECT_EQ(AreaFromBounds(kHigh, kHigh), Area(kHigh, 0));
  EXPECT_THROW(AreaFromBounds(kHigh + 1, kHigh), Exception);
  EXPECT_THROW(AreaFromBounds(0, uintptr_t{1} << 31), Exception);  // no 32-bit size holds it
  TKZArea a = Area(1000, 10), huge = Area(1000, INT32_MAX);
  AreaSkip(a, -4);  // back, growing
  EXPECT_EQ(a, Area(996, 14));
  EXPECT_THROW(AreaSkip(a, 15), Exception);
  EXPECT_THROW(AreaSkip(huge, -1), Exception);
  EXPECT_TRUE(a == Area(996, 14) && huge == Area(1000, INT32_MAX));
  EXPECT_THROW(CheckAreaNotEmpty(Area(1, 0)), Exception);
}

TEST(UKZArea, ContainmentAndOverlapAreUnsigned) {
  const TKZArea outer = Area(kHigh, 100);
  EXPECT_TRUE(AreaContains(outer, outer) && AreaContains(outer, Area(kHigh + 100, 0)));
  EXPECT_FALSE(AreaContains(outer, Area(kHigh + 99, 2)) || AreaContains(outer, Area(kHigh - 1, 1)));
  EXPECT_FALSE(AreaContains(Area(0, INT32_MAX), Area(kAllOnes, 0)) ||
               AreaContains(Area(kAllOnes, 1), Area(kAllOnes, 0)));
  EXPECT_FALSE(AreasOverlap(outer, Area(kHigh + 100, 5)));  // touching only
  EXPECT_EQ(AreaIntersection(outer, Area(kHigh + 100, 5)), EmptyArea());
  EXPECT_EQ(AreaIntersection(Area(kHigh - 3, 5), outer), Area(kHigh, 2));
}

TEST(UKZArea, WindowsMoveWithinTheirLimits) {
  TKZWindow w = Window(Area(5000, 100));
  EXPECT_TRUE(WindowSeekEnd(w, 0));
  EXPECT_FALSE(WindowSeekEnd(w, 1) || WindowSeekEnd(w, INT32_MIN) || WindowSeekCurrent(w, 1) ||
               WindowSeekCurrent(w, INT32_MAX) || WindowSeekCurrent(w, -101) ||
               WindowSeekBegin(w, -1));
  EXPECT_EQ(w.Position, 100);
  EXPECT_TRUE(WindowSeek(w, SeekFromCurrent(-100)));
  EXPECT_THROW(WindowSeek(w, TKZSeek{0, static_cast<TKZSeekOrigin>(3)}), Exception);
  EXPECT_THROW(WindowAt(Area(0, 10), -1), Exception);  // a negative cursor is invalid

  EXPECT_EQ(WindowAdvance(w, 64), 64u);
  EXPECT_EQ(WindowAdvance(w, UINT32_MAX), 36u);  // clamped, never refused
  EXPECT_EQ(WindowAdvance(w, 1), 0u);
  WindowExtend(w, 10);
  EXPECT_EQ(WindowPointer(w), 5110u);
  EXPECT_THROW(WindowExtend(w, -111), Exception);
  EXPECT_THROW(WindowExtend(w, INT32_MAX), Exception);
  EXPECT_TRUE(w.Position == 110 && w.Size == 110);
}

TEST(UKZArea, RingsWrapAtTheBufferEnd) {
  const TKZArea buffer = Area(kHigh, 16);
  TKZArea first{}, second{};
  EXPECT_EQ(RingPieces(Ring(buffer, Area(kHigh + 3, 0)), first, second), 0);
  EXPECT_EQ(RingPieces(Ring(buffer, Area(kHigh + 3, 13)), first, second), 1);
  EXPECT_EQ(RingPieces(Ring(buffer, Area(kHigh + 14, 5)), first, second), 2);
  EXPECT_TRUE(first == Area(kHigh + 14, 2) && second == Area(kHigh, 3));
  for (const TKZArea& region : {Area(kHigh + 16, 1), Area(kHigh, 17), Area(kHigh, -1)})
    EXPECT_THROW(RingPieces(Ring(buffer, region), first, second), Exception);
  EXPECT_FALSE(RingValid(Ring(Area(kHigh, 0), Area(kHigh, 0))));

  TKZRing ring = Ring(buffer, Area(kHigh + 10, 6));  // ends exactly at the buffer's end
  RingConsume(ring, 6);
  EXPECT_EQ(ring.Region, Area(kHigh, 0));
  RingProduce(ring, 16);  // full
  EXPECT_THROW(RingProduce(ring, 1), Exception);
  EXPECT_THROW(RingConsume(ring, 17), Exception);
  RingConsume(ring, 15);
  RingConsume(ring, -3);  // put back across the start
  EXPECT_THROW(RingConsume(ring, -13), Exception);
  EXPECT_THROW(RingProduce(ring, -5), Exception);
  EXPECT_EQ(ring.Region, Area(kHigh + 12, 4));

  TKZRing low = Ring(Area(0, 16), Area(1, 2));  // a buffer at address 0 wraps the same way
  RingConsume(low, -3);
  EXPECT_EQ(low.Region, Area(14, 5));
}

}  // namespace
