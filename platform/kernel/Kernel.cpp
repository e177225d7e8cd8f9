#include "platform/kernel/Kernel.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <new>

void InitializeCriticalSection(CRITICAL_SECTION* ASection) {
  ASection->Lock.emplace();
}

void DeleteCriticalSection(CRITICAL_SECTION* ASection) {
  ASection->Lock.reset();
}

void EnterCriticalSection(CRITICAL_SECTION* ASection) {
  ASection->Lock->lock();
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* ASection) {
  return ASection->Lock->try_lock();
}

void LeaveCriticalSection(CRITICAL_SECTION* ASection) {
  ASection->Lock->unlock();
}

namespace {

// One sleeping wait. Every event it waits for links it in, so that a signal wakes it; it then
// looks at all its events again.
struct TWaiter;

struct TWaitLink {
  TWaiter* Waiter = nullptr;
  TWaitLink* Prev = nullptr;
  TWaitLink* Next = nullptr;
};

struct TWaiter {
  std::mutex Lock;
  std::condition_variable Wake;
  bool Woken = false;
  std::array<TWaitLink, MAXIMUM_WAIT_OBJECTS> Links;
};

struct TEvent {
  // Tells an event from another object passed as a handle.
  static constexpr uint32_t EventTag = 0x7645764B;

  TEvent(bool AManualReset, bool ASignalled) : ManualReset(AManualReset), Signalled(ASignalled) {}

  const uint32_t Tag = EventTag;
  const bool ManualReset;
  // Both guarded by Lock; the waiters linked in are the ones sleeping on this event.
  std::mutex Lock;
  bool Signalled;
  TWaitLink* Waiters = nullptr;
};

TEvent* EventOf(HANDLE AHandle) {
  auto* event = static_cast<TEvent*>(AHandle);
  return event && event->Tag == TEvent::EventTag ? event : nullptr;
}

// The events of one wait, locked together. They are always locked in address order, so that
// two waits over the same events never hold one each while wanting the other's.
class TEventSet {
 public:
  TEventSet(const std::array<TEvent*, MAXIMUM_WAIT_OBJECTS>& AEvents, DWORD ACount)
      : FEvents(AEvents), FCount(ACount), FOrder(AEvents) {
    std::sort(FOrder.begin(), FOrder.begin() + FCount, std::less<TEvent*>());
  }

  bool HasDuplicates() const {
    return std::adjacent_find(FOrder.begin(), FOrder.begin() + FCount) != FOrder.begin() + FCount;
  }

  void lock() {
    for (DWORD i = 0; i < FCount; ++i)
      FOrder[i]->Lock.lock();
  }
  void unlock() {
    for (DWORD i = FCount; i-- > 0;)
      FOrder[i]->Lock.unlock();
  }

  // Under the locks: the lowest signalled index, used up when its event is auto-reset; -1 when
  // none is signalled.
  int Take() {
    for (DWORD i = 0; i < FCount; ++i) {
      TEvent* event = FEvents[i];
      if (event->Signalled) {
        if (!event->ManualReset) event->Signalled = false;
        return static_cast<int>(i);
      }
    }
    return -1;
  }

  // Under the locks.
  void Link(TWaiter& AWaiter) {
    for (DWORD i = 0; i < FCount; ++i) {
      TWaitLink& link = AWaiter.Links[i];
      link.Waiter = &AWaiter;
      link.Prev = nullptr;
      link.Next = FEvents[i]->Waiters;
      if (link.Next) link.Next->Prev = &link;
      FEvents[i]->Waiters = &link;
    }
  }
  void Unlink(TWaiter& AWaiter) {
    for (DWORD i = 0; i < FCount; ++i) {
      TWaitLink& link = AWaiter.Links[i];
      if (link.Prev)
        link.Prev->Next = link.Next;
      else
        FEvents[i]->Waiters = link.Next;
      if (link.Next) link.Next->Prev = link.Prev;
    }
  }

 private:
  const std::array<TEvent*, MAXIMUM_WAIT_OBJECTS>& FEvents;
  DWORD FCount;
  std::array<TEvent*, MAXIMUM_WAIT_OBJECTS> FOrder;
};

}  // namespace

HANDLE CreateEventA(SECURITY_ATTRIBUTES*, BOOL AManualReset, BOOL AInitialState,
                    const char* AName) {
  if (AName) return nullptr;
  try {
    // The handle owns the event until CloseHandle takes it back.
    return std::make_unique<TEvent>(AManualReset != 0, AInitialState != 0).release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

BOOL SetEvent(HANDLE AEvent) {
  TEvent* event = EventOf(AEvent);
  if (!event) return 0;
  std::lock_guard guard(event->Lock);
  event->Signalled = true;
  // Every sleeper looks again: one woken for an auto-reset event may take a lower one instead,
  // and must not leave this signal unseen by the others.
  for (TWaitLink* link = event->Waiters; link; link = link->Next) {
    TWaiter& waiter = *link->Waiter;
    {
      std::lock_guard wake(waiter.Lock);
      waiter.Woken = true;
    }
    waiter.Wake.notify_one();
  }
  return 1;
}

BOOL ResetEvent(HANDLE AEvent) {
  TEvent* event = EventOf(AEvent);
  if (!event) return 0;
  std::lock_guard guard(event->Lock);
  event->Signalled = false;
  return 1;
}

BOOL CloseHandle(HANDLE AObject) {
  TEvent* event = EventOf(AObject);
  if (!event) return 0;
  std::unique_ptr<TEvent> owned(event);
  return 1;
}

DWORD WaitForMultipleObjects(DWORD ACount, const HANDLE* AHandles, BOOL AWaitAll,
                             DWORD AMilliseconds) {
  if (AWaitAll || !AHandles || ACount == 0 || ACount > MAXIMUM_WAIT_OBJECTS) return WAIT_FAILED;
  std::array<TEvent*, MAXIMUM_WAIT_OBJECTS> events{};
  for (DWORD i = 0; i < ACount; ++i) {
    events[i] = EventOf(AHandles[i]);
    if (!events[i]) return WAIT_FAILED;
  }
  TEventSet set(events, ACount);
  if (set.HasDuplicates()) return WAIT_FAILED;

  std::unique_lock locked(set);
  int index = set.Take();
  if (index >= 0) return WAIT_OBJECT_0 + static_cast<DWORD>(index);
  if (AMilliseconds == 0) return WAIT_TIMEOUT;

  using std::chrono::steady_clock;
  const auto deadline = steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
  TWaiter waiter;
  set.Link(waiter);
  bool timedOut = false;
  while (index < 0 && !timedOut) {
    locked.unlock();
    {
      // A signal after the look above sets Woken, so this never sleeps through it.
      std::unique_lock sleep(waiter.Lock);
      const auto woken = [&waiter] { return waiter.Woken; };
      if (AMilliseconds == INFINITE)
        waiter.Wake.wait(sleep, woken);
      else
        timedOut = !waiter.Wake.wait_until(sleep, deadline, woken);
      waiter.Woken = false;
    }
    locked.lock();
    index = set.Take();
  }
  set.Unlink(waiter);
  return index >= 0 ? WAIT_OBJECT_0 + static_cast<DWORD>(index) : WAIT_TIMEOUT;
}
