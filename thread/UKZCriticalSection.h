#pragma once

#include "platform/kernel/Kernel.h"
#include "platform/rtl/Object.h"

// Mutual exclusion between threads, recursive for the owning thread: one Leave per Enter. It
// also reads as a standard lock (lock, unlock), so that a scope can hold it with
// std::lock_guard and give it up on every way out, a raise included.
class TKZCriticalSection : public TObject {
 public:
  TKZCriticalSection();
  ~TKZCriticalSection() override;

  // Blocks without time limit until the calling thread owns the section.
  void Enter();
  // Enters only when that needs no wait; true when it entered.
  bool TryEnter();
  void Leave();

  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  CRITICAL_SECTION FSection;
};
