#include "core/UKZMemory.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "platform/rtl/Exception.h"

namespace {

TEST(UKZMemory, AreasFromTheHeap) {
  EXPECT_EQ(AllocArea(0).Start, 0u);
  TKZArea a = AllocArea(100);
  AreaBytes(a)[99] = 1;  // the sanitizer checks the whole block is ours
  FreeArea(a);
  FreeArea(a);  // twice through the same variable is harmless
  EXPECT_EQ(a.Start, 0u);
  EXPECT_THROW(AllocArea(-1), Exception);
  AreaBytes(TKZMemChunk::CreateSized(4096)->FArea)[4095] = 1;
}

TEST(UKZMemory, OverlappingCopiesActAsThroughATemporary) {
  for (int shift : {-3, 3}) {
    std::vector<uint8_t> bytes(32), expected;
    std::iota(bytes.begin(), bytes.end(), 0);
    expected = bytes;
    std::copy(bytes.begin() + 8, bytes.begin() + 24, expected.begin() + 8 + shift);
    HKZMemory::Copy(bytes.data() + 8, bytes.data() + 8 + shift, 16);
    EXPECT_EQ(bytes, expected) << "shift " << shift;
  }
}

}  // namespace
