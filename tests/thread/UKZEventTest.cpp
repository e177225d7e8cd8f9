#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "platform/rtl/Exception.h"
#include "thread/UKZCriticalSection.h"
#include "thread/UKZEvent.h"

namespace {

TEST(TKZEvent, WaitForAnyTakesTheLowestAndResetsOnlyAnAutoResetAnswer) {
  auto manual = TKZEvent::CreateManualReset();
  TKZEvent first, second;
  manual->Signal();
  first.Signal();
  second.Signal();
  EXPECT_EQ(TKZEvent::WaitForAny({manual.get(), &first}), manual.get());
  EXPECT_EQ(TKZEvent::WaitForAny({manual.get(), &first}), manual.get());
  manual->Reset();
  EXPECT_EQ(TKZEvent::WaitForAny({manual.get(), &second, &first}), &second);
  EXPECT_EQ(TKZEvent::WaitForAny({manual.get(), &second, &first}), &first);

  std::vector<std::unique_ptr<TKZEvent>> owned;
  std::vector<TKZEvent*> events;
  for (int i = 0; i < 65; ++i)
    events.push_back(owned.emplace_back(std::make_unique<TKZEvent>()).get());
  events[0]->Signal();  // a wait that should have been refused ends here instead of hanging
  EXPECT_THROW(TKZEvent::WaitForAny(events), Exception);
  events[0]->Reset();
  events[63]->Signal();
  EXPECT_EQ(TKZEvent::WaitForAny(std::span(events).first(64)), events[63]);
  EXPECT_THROW(TKZEvent::WaitForAny({&first, &first}), Exception);
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
  section.Leave();
  EXPECT_FALSE(otherEnters());
  section.Leave();
  EXPECT_TRUE(otherEnters());
}

}  // namespace
