#include "thread/UKZEvent.h"

#include <array>
#include <new>

#include "platform/rtl/Exception.h"

TKZEvent::TKZEvent() : TKZEvent(false) {}

TKZEvent::TKZEvent(bool AManualReset)
    : FHandle(CreateEventA(nullptr, AManualReset, false, nullptr)) {
  // The kernel refuses an unnamed event only when it runs out of memory.
  if (!FHandle) throw std::bad_alloc();
}

TKZEvent::~TKZEvent() {
  CloseHandle(FHandle);
}

std::unique_ptr<TKZEvent> TKZEvent::CreateManualReset() {
  return std::make_unique<TKZEvent>(true);
}

void TKZEvent::Signal() {
  if (!SetEvent(FHandle)) throw Exception();
}

void TKZEvent::Reset() {
  if (!ResetEvent(FHandle)) throw Exception();
}

TKZEvent* TKZEvent::WaitForAny(std::span<TKZEvent* const> AEvents) {
  if (AEvents.size() > MAXIMUM_WAIT_OBJECTS) throw Exception();
  std::array<HANDLE, MAXIMUM_WAIT_OBJECTS> handles{};
  for (size_t i = 0; i < AEvents.size(); ++i) {
    if (!AEvents[i]) throw Exception();
    handles[i] = AEvents[i]->FHandle;
  }
  const auto count = static_cast<DWORD>(AEvents.size());
  const DWORD result = WaitForMultipleObjects(count, handles.data(), false, INFINITE);
  const auto index = static_cast<int32_t>(result - WAIT_OBJECT_0);
  if (index < 0 || index >= static_cast<int32_t>(count)) throw Exception();
  return AEvents[static_cast<size_t>(index)];
}

TKZEvent* TKZEvent::WaitForAny(std::initializer_list<TKZEvent*> AEvents) {
  return WaitForAny(std::span<TKZEvent* const>(AEvents.begin(), AEvents.size()));
}
