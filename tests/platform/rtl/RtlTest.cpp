#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/rtl/Exception.h"
#include "platform/rtl/List.h"
#include "platform/rtl/Thread.h"

namespace {

TEST(Rtl, ListIndexesAreChecked) {
  TList<std::unique_ptr<std::string>> list;
  EXPECT_THROW(list.Last(), Exception);
  EXPECT_EQ(list.Add(std::make_unique<std::string>("a")), 0);
  EXPECT_EQ(list.Add(std::make_unique<std::string>("b")), 1);
  list.Delete(0);
  EXPECT_EQ(*list.Last(), "b");
  EXPECT_THROW(list.Items(1), Exception);
  EXPECT_THROW(list.Delete(-1), Exception);
}

class TCountingThread : public TThread {
 public:
  explicit TCountingThread(bool AFail) : FFail(AFail) { Start(); }
  ~TCountingThread() override { WaitFor(); }
  int Runs = 0, Terminations = 0;

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
  for (bool fail : {false, true}) {
    TCountingThread thread(fail);
    thread.WaitFor();
    thread.WaitFor();
    EXPECT_EQ(thread.Runs + thread.Terminations, 2);
    EXPECT_EQ(static_cast<bool>(thread.FatalException()), fail);
  }
}

}  // namespace
