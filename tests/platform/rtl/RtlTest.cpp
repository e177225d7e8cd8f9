#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/rtl/Exception.h"
#include "platform/rtl/List.h"
#include "platform/rtl/Stream.h"
#include "platform/rtl/Thread.h"

namespace {

TEST(Rtl, ListIndexesAndOwnership) {
  TList<std::unique_ptr<std::string>> list;
  EXPECT_EQ(list.Count(), 0);
  EXPECT_THROW(list.Last(), Exception);
  EXPECT_EQ(list.Add(std::make_unique<std::string>("a")), 0);
  EXPECT_EQ(list.Add(std::make_unique<std::string>("b")), 1);
  EXPECT_EQ(*list.Last(), "b");
  list.Delete(0);
  EXPECT_EQ(*list.Items(0), "b");
  EXPECT_THROW(list.Items(1), Exception);
  EXPECT_THROW(list.Delete(-1), Exception);
  TList<std::unique_ptr<std::string>> moved(std::move(list));
  EXPECT_EQ(moved.Count(), 1);
}

class TCountingThread : public TThread {
 public:
  explicit TCountingThread(bool AFail) : FFail(AFail) { Start(); }
  ~TCountingThread() override { WaitFor(); }
  std::atomic<int> Runs{0};
  std::atomic<int> Terminations{0};

 protected:
  void Execute() override {
    ++Runs;
    if (FFail) throw std::runtime_error("body failed");
  }
  void DoTerminate() override { ++Terminations; }

 private:
  bool FFail;
};

TEST(Rtl, ThreadRunsOnceAndKeepsItsFailure) {
  TCountingThread good(false);
  good.WaitFor();
  good.WaitFor();
  EXPECT_EQ(good.Runs, 1);
  EXPECT_EQ(good.Terminations, 1);
  EXPECT_FALSE(good.FatalException());

  TCountingThread bad(true);
  bad.WaitFor();
  EXPECT_EQ(bad.Terminations, 1);
  ASSERT_TRUE(bad.FatalException());
  EXPECT_THROW(std::rethrow_exception(bad.FatalException()), std::runtime_error);
}

// Hands out at most 3 bytes per call from a fixed text.
class TTrickleStream : public TStream {
 public:
  int32_t Read(void* ABuffer, int32_t ACount) override {
    const int32_t n = std::min({ACount, 3, static_cast<int32_t>(FText.size()) - FPos});
    std::memcpy(ABuffer, FText.data() + FPos, n);
    FPos += n;
    return n;
  }
  int32_t Write(const void*, int32_t ACount) override { return ACount / 2; }
  int32_t Seek(int32_t AOffset, uint16_t AOrigin) override {
    if (AOrigin != soFromBeginning && AOrigin != soFromCurrent) return -1;
    const int32_t target = (AOrigin == soFromCurrent ? FPos : 0) + AOffset;
    if (target < 0 || target > static_cast<int32_t>(FText.size())) return -1;
    return FPos = target;
  }

 private:
  std::string FText = "abcdefgh";
  int32_t FPos = 0;
};

TEST(Rtl, StreamBufferHelpersRaiseOnShortTransfers) {
  TTrickleStream stream;
  EXPECT_EQ(stream.ClassName(), "TTrickleStream");  // without its namespace
  char buffer[4] = {};
  stream.ReadBuffer(buffer, 3);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(stream.GetPosition(), 3);
  EXPECT_THROW(stream.ReadBuffer(buffer, 4), Exception);
  EXPECT_THROW(stream.WriteBuffer(buffer, 4), Exception);
  EXPECT_NO_THROW(stream.WriteBuffer(buffer, 0));
  stream.SetPosition(8);
  EXPECT_THROW(stream.SetPosition(9), Exception);
}

}  // namespace
