#include "platform/kernel/Kernel.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

DWORD Look(std::vector<HANDLE> AHandles) {
  return WaitForMultipleObjects(static_cast<DWORD>(AHandles.size()), AHandles.data(), 0, 0);
}

TEST(Kernel, WaitAnswersTheLowestSignalledAndUsesUpOnlyThat) {
  HANDLE manual = CreateEventA(nullptr, 1, 0, nullptr);
  HANDLE first = CreateEventA(nullptr, 0, 1, nullptr);
  HANDLE second = CreateEventA(nullptr, 0, 0, nullptr);
  EXPECT_EQ(Look({manual, first}), 1u);
  EXPECT_EQ(Look({manual, first}), WAIT_TIMEOUT);  // an auto-reset signal is used up
  SetEvent(first);
  SetEvent(second);
  EXPECT_EQ(Look({second, first}), 0u);
  EXPECT_EQ(Look({second, first}), 1u);
  SetEvent(manual);
  SetEvent(first);
  EXPECT_EQ(Look({manual, first}), 0u);
  EXPECT_EQ(Look({manual, first}), 0u);  // a manual-reset signal stays
  EXPECT_EQ(Look({first}), 0u);          // and the one not answered kept its signal
  ResetEvent(manual);
  EXPECT_EQ(WaitForMultipleObjects(1, &manual, 0, 1), WAIT_TIMEOUT);

  EXPECT_EQ(Look({}), WAIT_FAILED);
  EXPECT_EQ(Look(std::vector<HANDLE>(65, manual)), WAIT_FAILED);
  EXPECT_EQ(Look({manual, second, manual}), WAIT_FAILED);
  EXPECT_EQ(Look({manual, nullptr}), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(1, &manual, 1, 0), WAIT_FAILED);
  EXPECT_EQ(SetEvent(nullptr) + ResetEvent(nullptr) + CloseHandle(nullptr), 0);
  EXPECT_EQ(CreateEventA(nullptr, 0, 0, "named"), nullptr);
  for (HANDLE event : {manual, first, second})
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Kernel, SignalsWakeSleepingWaits) {
  // A turn handed back and forth many times: one lost wake-up would stop both threads.
  HANDLE ping = CreateEventA(nullptr, 0, 0, nullptr), pong = CreateEventA(nullptr, 0, 0, nullptr);
  HANDLE stop = CreateEventA(nullptr, 1, 0, nullptr), gate = CreateEventA(nullptr, 1, 0, nullptr);
  std::thread partner([&] {
    HANDLE both[] = {stop, ping};
    while (WaitForMultipleObjects(2, both, 0, INFINITE) == 1)
      SetEvent(pong);
  });
  int turns = 0;
  for (; turns < 20000; ++turns) {
    SetEvent(ping);
    if (WaitForMultipleObjects(1, &pong, 0, INFINITE) != 0) break;
  }
  SetEvent(stop);
  partner.join();
  EXPECT_EQ(turns, 20000);

  // One signal of a manual-reset event lets every sleeper through.
  std::vector<std::thread> sleepers;
  std::vector<DWORD> results(4, WAIT_FAILED);
  for (DWORD& result : results)
    sleepers.emplace_back([&] { result = WaitForMultipleObjects(1, &gate, 0, INFINITE); });
  SetEvent(gate);
  for (auto& sleeper : sleepers)
    sleeper.join();
  EXPECT_EQ(results, std::vector<DWORD>(4, 0));
  for (HANDLE event : {ping, pong, stop, gate})
    CloseHandle(event);
}

}  // namespace
