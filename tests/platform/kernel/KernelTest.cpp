#include "platform/kernel/Kernel.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// The order of answers and cross-thread waking are tested through the thread library's event
// class and FIFO; here what only the kernel calls do: time limits and refusals.
TEST(Kernel, WaitsTimeOutAndRefuseWhatTheyCannotWaitFor) {
  const auto look = [](std::vector<HANDLE> AHandles) {
    return WaitForMultipleObjects(static_cast<DWORD>(AHandles.size()), AHandles.data(), 0, 0);
  };
  HANDLE manual = CreateEventA(nullptr, 1, 0, nullptr),
         ready = CreateEventA(nullptr, 0, 1, nullptr);
  EXPECT_EQ(look({manual, ready}), 1u);
  EXPECT_EQ(look({manual, ready}), WAIT_TIMEOUT);  // the auto-reset signal is used up
  EXPECT_EQ(WaitForMultipleObjects(1, &manual, 0, 1), WAIT_TIMEOUT);
  using THandles = std::vector<HANDLE>;
  for (const auto& bad :
       {THandles(), THandles(65, manual), THandles{manual, ready, manual}, THandles{nullptr}})
    EXPECT_EQ(look(bad), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(1, &manual, 1, 0), WAIT_FAILED);  // a wait for all
  EXPECT_EQ(SetEvent(nullptr) + ResetEvent(nullptr) + CloseHandle(nullptr), 0);
  EXPECT_EQ(CreateEventA(nullptr, 0, 0, "named"), nullptr);
  EXPECT_TRUE(CloseHandle(manual) && CloseHandle(ready));
}

}  // namespace
