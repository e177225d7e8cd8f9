#pragma once

#include <initializer_list>
#include <memory>
#include <span>

#include "platform/kernel/Kernel.h"
#include "platform/rtl/Object.h"

// A signal between threads, not signalled at creation. An auto-reset event lets one wait
// through per Signal and is then unsignalled again; a manual-reset event lets every wait
// through until Reset. Signal, Reset and WaitForAny raise Exception with an empty message when
// the kernel refuses them.
class TKZEvent : public TObject {
 public:
  // An auto-reset event.
  TKZEvent();
  explicit TKZEvent(bool AManualReset);
  ~TKZEvent() override;

  static std::unique_ptr<TKZEvent> CreateManualReset();

  void Signal();
  void Reset();

  // Waits without time limit for the first of 1 to 64 events and answers it (never none).
  // Among events signalled together the lowest index wins; the answer is reset by the wait if
  // it is auto-reset, the others keep their state. Raises for no events, more than 64, or one
  // given twice.
  static TKZEvent* WaitForAny(std::span<TKZEvent* const> AEvents);
  static TKZEvent* WaitForAny(std::initializer_list<TKZEvent*> AEvents);

 private:
  HANDLE FHandle;
};
