#include "core/UKZMemory.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "platform/rtl/Exception.h"

namespace {

TEST(UKZMemory, AllocAndFreeKeepAreasHonest) {
  TKZArea none = AllocArea(0);
  EXPECT_EQ(none.Size, 0);
  EXPECT_EQ(none.Start, 0u);
  FreeArea(none);
  EXPECT_EQ(none.Size, 0);

  TKZArea a = AllocArea(100);
  EXPECT_EQ(a.Size, 100);
  EXPECT_NE(a.Start, 0u);
  HKZMemory::Zero(AreaBytes(a), a.Size);
  EXPECT_EQ(AreaBytes(a)[99], 0);
  FreeArea(a);
  EXPECT_EQ(a.Size, 0);
  EXPECT_EQ(a.Start, 0u);
  FreeArea(a);  // twice through the same variable is harmless

  EXPECT_THROW(AllocArea(-1), Exception);
  EXPECT_EQ(MemAreaEnd(MemArea(10, 5)), 15u);
  EXPECT_THROW(MemAreaFromBounds(11, 10), Exception);

  auto chunk = TKZMemChunk::CreateSized(4096);
  EXPECT_EQ(chunk->FArea.Size, 4096);
  AreaBytes(chunk->FArea)[4095] = 1;  // the sanitizer checks the whole block is ours
}

TEST(UKZMemory, OverlappingCopiesActAsThroughATemporary) {
  for (int shift : {-3, 3}) {
    std::vector<uint8_t> bytes(32);
    std::iota(bytes.begin(), bytes.end(), 0);
    std::vector<uint8_t> expected = bytes;
    const std::vector<uint8_t> source(bytes.begin() + 8, bytes.begin() + 24);
    std::copy(source.begin(), source.end(), expected.begin() + 8 + shift);

    HKZMemory::Copy(bytes.data() + 8, bytes.data() + 8 + shift, 16);
    EXPECT_EQ(bytes, expected) << "shift " << shift;
  }
  std::vector<uint8_t> untouched(4, 7);
  HKZMemory::Move(untouched.data(), untouched.data() + 1, -2);
  HKZMemory::Zero(untouched.data(), -1);
  EXPECT_EQ(untouched, std::vector<uint8_t>(4, 7));
}

}  // namespace
