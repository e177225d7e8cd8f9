#pragma once

// The kernel's synchronisation objects that the class library uses, under the names, types and
// values that callers of such a kernel know. Built on the C++ standard library; it depends on
// nothing of the class library. What callers rely on:
//   critical section  exclusive and recursive for the owning thread: one Leave per Enter.
//   auto-reset event  a signal lets one wait through (one now waiting, or else the next one)
//                     and is used up by it.
//   manual-reset event  once signalled, lets every wait through until it is reset.
//   WaitForMultipleObjects  answers the lowest index among the events signalled at one moment
//                     and resets that event if it is auto-reset; the others keep their state.
// Nothing polls: a wait sleeps until an event it waits for is signalled.

#include <cstdint>
#include <mutex>
#include <optional>

using BOOL = int;
using DWORD = uint32_t;
using HANDLE = void*;
struct SECURITY_ATTRIBUTES;

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// Prepared by InitializeCriticalSection, released by DeleteCriticalSection; neither copied nor
// moved in between.
struct CRITICAL_SECTION {
  std::optional<std::recursive_mutex> Lock;
};

void InitializeCriticalSection(CRITICAL_SECTION* ASection);
void DeleteCriticalSection(CRITICAL_SECTION* ASection);
// Blocks until the calling thread owns the section; an owner enters again.
void EnterCriticalSection(CRITICAL_SECTION* ASection);
// Enters only when that needs no wait; nonzero when it entered.
BOOL TryEnterCriticalSection(CRITICAL_SECTION* ASection);
void LeaveCriticalSection(CRITICAL_SECTION* ASection);

// An event, not named (the name must be none); none when it cannot be made.
HANDLE CreateEventA(SECURITY_ATTRIBUTES* AAttributes, BOOL AManualReset, BOOL AInitialState,
                    const char* AName);
// Nonzero on success; zero for a handle that is no event.
BOOL SetEvent(HANDLE AEvent);
BOOL ResetEvent(HANDLE AEvent);
// Only once no wait uses the event any more.
BOOL CloseHandle(HANDLE AObject);

// Waits until one of ACount events (1 to MAXIMUM_WAIT_OBJECTS, no handle twice) is signalled
// and answers WAIT_OBJECT_0 plus its index; WAIT_TIMEOUT when AMilliseconds (INFINITE for no
// limit) pass first, 0 only looks. WAIT_FAILED for a bad count or handle, or a wait for all.
DWORD WaitForMultipleObjects(DWORD ACount, const HANDLE* AHandles, BOOL AWaitAll,
                             DWORD AMilliseconds);
