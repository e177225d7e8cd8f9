#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "platform/rtl/Exception.h"
#include "thread/UKZCriticalSection.h"
#include "thread/UKZEvent.h"

namespace {

TEST(TKZEvent, WaitForAnyOrderAndLimits) {
  auto manual = TKZEvent::CreateManualReset();
  TKZEvent automatic;
  manual->Signal();
  automatic.Signal();
  EXPECT_EQ(TKZEvent::WaitForAny({manual.get(), &automatic}), manual.get());
  EXPECT_EQ(TKZEvent::WaitForAny({manual.get(), &automatic}), manual.get());
  EXPECT_EQ(TKZEvent::WaitForAny({&automatic, manual.get()}), &automatic);
  EXPECT_EQ(TKZEvent::WaitForAny({&automatic, manual.get()}), manual.get());

  std::vector<std::unique_ptr<TKZEvent>> owned;
  std::vector<TKZEvent*> events;
  for (int i = 0; i < 65; ++i)
    events.push_back(owned.emplace_back(std::make_unique<TKZEvent>()).get());
  events[0]->Signal();  // a wait that should have been refused would end here, not hang
  events[63]->Signal();
  EXPECT_THROW(TKZEvent::WaitForAny(events), Exception);
  events[0]->Reset();
  EXPECT_EQ(TKZEvent::WaitForAny(std::span(events).first(64)), events[63]);
  EXPECT_THROW(TKZEvent::WaitForAny(std::span<TKZEvent* const>()), Exception);
  EXPECT_THROW(TKZEvent::WaitForAny({&automatic, &automatic}), Exception);
}

TEST(TKZCriticalSection, OwnerEntersAgainAndLeavesOncePerEntry) {
  TKZCriticalSection section;
  const auto otherEnters = [&section] {
    bool entered = false;
    std::thread([&] {
      entered = section.TryEnter();
      if (entered) section.Leave();
    }).join();
    return entered;
  };
  section.Enter();
  section.Enter();
  EXPECT_FALSE(otherEnters());
  section.Leave();
  EXPECT_FALSE(otherEnters());
  section.Leave();
  EXPECT_TRUE(otherEnters());
}

}  // namespace
