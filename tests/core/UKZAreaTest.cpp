#include "core/UKZArea.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "platform/rtl/Exception.h"

namespace {

constexpr uintptr_t kAllOnes = ~uintptr_t{0};
// Addresses above 2^31 catch comparisons that are done signed or in 32 bits.
constexpr uintptr_t kHigh = uintptr_t{0x9000'0000};

bool SameArea(const TKZArea& A, const TKZArea& B) { return A.Size == B.Size && A.Start == B.Start; }

TEST(UKZArea, BoundsAndSkipGuardTheirArguments) {
  EXPECT_TRUE(SameArea(AreaFromBounds(kHigh, kHigh), Area(kHigh, 0)));
  EXPECT_TRUE(SameArea(AreaFromBounds(kHigh, kHigh + 10), Area(kHigh, 10)));
  EXPECT_THROW(AreaFromBounds(kHigh + 1, kHigh), Exception);
  EXPECT_THROW(AreaFromBounds(0, uintptr_t{1} << 31), Exception);  // no 32-bit size holds it
  EXPECT_EQ(AreaEnd(Area(kHigh, -4)), kHigh - 4);

  TKZArea a = Area(1000, 10);
  AreaSkip(a, 4);
  EXPECT_TRUE(SameArea(a, Area(1004, 6)));
  AreaSkip(a, -4);  // back again, growing
  EXPECT_TRUE(SameArea(a, Area(1000, 10)));
  EXPECT_THROW(AreaSkip(a, 11), Exception);
  EXPECT_TRUE(SameArea(a, Area(1000, 10)));
  TKZArea huge = Area(1000, INT32_MAX);
  EXPECT_THROW(AreaSkip(huge, -1), Exception);  // the size would not fit
  EXPECT_TRUE(SameArea(huge, Area(1000, INT32_MAX)));

  EXPECT_FALSE(AreaNotEmpty(Area(1, 0)));
  EXPECT_FALSE(AreaNotEmpty(Area(1, -1)));
  EXPECT_THROW(CheckAreaNotEmpty(Area(1, -1)), Exception);
  EXPECT_NO_THROW(CheckAreaNotEmpty(Area(1, 1)));
}

TEST(UKZArea, ContainmentIsUnsignedAndAllOnesIsOutside) {
  const TKZArea outer = Area(kHigh, 100);
  EXPECT_TRUE(AreaContains(outer, outer));
  EXPECT_TRUE(AreaContains(outer, Area(kHigh + 100, 0)));  // empty, at the end
  EXPECT_TRUE(AreaContains(outer, Area(kHigh + 50, -10)));  // sizes' signs play no part
  EXPECT_FALSE(AreaContains(outer, Area(kHigh + 99, 2)));
  EXPECT_FALSE(AreaContains(outer, Area(kHigh - 1, 1)));
  EXPECT_FALSE(AreaContains(Area(kAllOnes, 0), Area(kAllOnes, 0)));
  EXPECT_FALSE(AreaContains(Area(0, INT32_MAX), Area(kAllOnes, 0)));
  EXPECT_FALSE(AreaContains(Area(kAllOnes, 1), Area(kAllOnes, 0)));
}

TEST(UKZArea, TouchingAreasDoNotOverlap) {
  const TKZArea a = Area(kHigh, 10);
  EXPECT_FALSE(AreasOverlap(a, Area(kHigh + 10, 5)));
  EXPECT_EQ(AreaIntersection(a, Area(kHigh + 10, 5)).Size, 0);
  EXPECT_FALSE(AreasOverlap(a, Area(kHigh + 2, 0)));
  EXPECT_TRUE(SameArea(AreaIntersection(a, Area(kHigh + 8, 5)), Area(kHigh + 8, 2)));
  EXPECT_TRUE(SameArea(AreaIntersection(Area(kHigh - 3, 5), a), Area(kHigh, 2)));
}

TEST(UKZArea, WindowSeeksStopAtTheLimits) {
  TKZWindow w = Window(Area(5000, 100));
  EXPECT_EQ(WindowPointer(w), 5000u);

  EXPECT_TRUE(WindowSeekEnd(w, 0));
  EXPECT_EQ(w.Position, 100);
  EXPECT_FALSE(WindowSeekEnd(w, 1));
  EXPECT_FALSE(WindowSeekEnd(w, -101));
  EXPECT_FALSE(WindowSeekEnd(w, INT32_MIN));
  EXPECT_TRUE(WindowSeekEnd(w, -4));
  EXPECT_EQ(w.Position, 96);

  EXPECT_TRUE(WindowSeekCurrent(w, 4));
  EXPECT_EQ(w.Position, 100);
  EXPECT_FALSE(WindowSeekCurrent(w, 1));
  EXPECT_FALSE(WindowSeekCurrent(w, INT32_MAX));
  EXPECT_EQ(w.Position, 100);
  EXPECT_FALSE(WindowSeekCurrent(w, -101));
  EXPECT_TRUE(WindowSeekCurrent(w, -100));
  EXPECT_EQ(w.Position, 0);

  EXPECT_FALSE(WindowSeekBegin(w, -1));
  EXPECT_FALSE(WindowSeekBegin(w, 101));
  EXPECT_TRUE(WindowSeek(w, SeekFromBegin(100)));
  EXPECT_EQ(WindowPointer(w), 5100u);
  EXPECT_THROW(WindowSeek(w, TKZSeek{0, static_cast<TKZSeekOrigin>(3)}), Exception);

  EXPECT_THROW(WindowAt(Area(0, 10), 11), Exception);
  EXPECT_THROW(WindowAt(Area(0, 10), -1), Exception);  // negative is invalid, unsigned
  TKZWindow bad{10, 0, -1};
  EXPECT_THROW(WindowSeekBegin(bad, 0), Exception);
}

TEST(UKZArea, WindowAdvanceClampsAndExtendGrows) {
  TKZWindow w = Window(Area(0, 100));
  EXPECT_EQ(WindowAdvance(w, 64), 64u);
  EXPECT_EQ(WindowAdvance(w, 64), 36u);
  EXPECT_EQ(w.Position, 100);
  EXPECT_EQ(WindowAdvance(w, 64), 0u);
  EXPECT_EQ(WindowAdvance(w, UINT32_MAX), 0u);

  WindowExtend(w, 10);
  EXPECT_EQ(w.Size, 110);
  EXPECT_EQ(w.Position, 110);
  WindowSeekBegin(w, 5);
  WindowExtend(w, 10);  // inside: the size stays
  EXPECT_EQ(w.Size, 110);
  EXPECT_EQ(w.Position, 15);

  TKZWindow before = w;
  EXPECT_THROW(WindowExtend(w, -16), Exception);  // would put the cursor before the start
  EXPECT_THROW(WindowExtend(w, INT32_MAX), Exception);  // would not fit
  EXPECT_EQ(w.Position, before.Position);
  EXPECT_EQ(w.Size, before.Size);
}

class RingTest : public ::testing::Test {
 protected:
  static constexpr int32_t kSize = 16;
  TKZArea Buffer = Area(kHigh, kSize);
};

TEST_F(RingTest, PiecesSplitAtTheBufferEnd) {
  TKZArea first{}, second{};
  EXPECT_EQ(RingPieces(Ring(Buffer, Area(kHigh + 3, 0)), first, second), 0);
  EXPECT_EQ(RingPieces(Ring(Buffer, Area(kHigh + 3, 13)), first, second), 1);
  EXPECT_TRUE(SameArea(first, Area(kHigh + 3, 13)));
  EXPECT_EQ(second.Size, 0);

  EXPECT_EQ(RingPieces(Ring(Buffer, Area(kHigh + kSize - 2, 5)), first, second), 2);
  EXPECT_TRUE(SameArea(first, Area(kHigh + kSize - 2, 2)));
  EXPECT_TRUE(SameArea(second, Area(kHigh, 3)));

  EXPECT_EQ(RingPieces(Ring(Buffer, Area(kHigh + kSize - 1, kSize)), first, second), 2);
  EXPECT_EQ(first.Size + second.Size, kSize);

  EXPECT_THROW(RingPieces(Ring(Buffer, Area(kHigh + kSize, 1)), first, second), Exception);
  EXPECT_THROW(RingPieces(Ring(Buffer, Area(kHigh, kSize + 1)), first, second), Exception);
  EXPECT_THROW(RingPieces(Ring(Area(kHigh, 0), Area(kHigh, 0)), first, second), Exception);
  EXPECT_THROW(RingPieces(Ring(Buffer, Area(kHigh, -1)), first, second), Exception);
}

TEST_F(RingTest, ConsumeWrapsAtTheEndAndPutsBackBeforeTheStart) {
  TKZRing ring = Ring(Buffer, Area(kHigh + 10, 6));  // ends exactly at the buffer's end
  RingConsume(ring, 6);
  EXPECT_TRUE(SameArea(ring.Region, Area(kHigh, 0)));

  ring = Ring(Buffer, Area(kHigh + 14, 5));
  EXPECT_THROW(RingConsume(ring, 6), Exception);
  EXPECT_TRUE(SameArea(ring.Region, Area(kHigh + 14, 5)));
  RingConsume(ring, 3);
  EXPECT_TRUE(SameArea(ring.Region, Area(kHigh + 1, 2)));
  RingConsume(ring, -3);  // back across the start
  EXPECT_TRUE(SameArea(ring.Region, Area(kHigh + 14, 5)));
  RingConsume(ring, 0);
  EXPECT_TRUE(SameArea(ring.Region, Area(kHigh + 14, 5)));
  EXPECT_THROW(RingConsume(ring, -12), Exception);
  EXPECT_THROW(RingConsume(ring, INT32_MIN), Exception);

  // A buffer at address 0 wraps the same way.
  TKZRing low = Ring(Area(0, kSize), Area(1, 2));
  RingConsume(low, -3);
  EXPECT_TRUE(SameArea(low.Region, Area(kSize - 2, 5)));
}

TEST_F(RingTest, ProduceFillsUpToTheBuffer) {
  TKZRing ring = Ring(Buffer, Area(kHigh + 12, 0));
  RingProduce(ring, kSize);  // a full ring
  EXPECT_EQ(ring.Region.Size, kSize);
  EXPECT_THROW(RingProduce(ring, 1), Exception);
  RingProduce(ring, -kSize);
  EXPECT_EQ(ring.Region.Size, 0);
  EXPECT_THROW(RingProduce(ring, -1), Exception);
  EXPECT_THROW(RingProduce(ring, INT32_MAX), Exception);
  EXPECT_TRUE(SameArea(ring.Region, Area(kHigh + 12, 0)));
}

}  // namespace
