#pragma once
// Event objects, waits, critical sections and interlocked counters with the
// Win32 semantics the stack relies on. Nothing here spins: every wait blocks
// on a condition until it is signalled or its time-out passes.

#include "platform/win_types.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace kivo::win {

inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x80;
inline constexpr DWORD WAIT_TIMEOUT = 0x102;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// A manual-reset event stays signalled until reset and releases every waiter;
// an auto-reset event releases exactly one waiter and resets itself. Returns
// nullptr only when the object cannot be allocated.
HANDLE CreateEvent(bool manualReset, bool initialState);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Releases any handle of this layer (events, serial files). Closing an event
// that threads wait on is the caller's error, as on Windows.
BOOL CloseHandle(HANDLE handle);

// Enters an object of another platform piece (a serial file) in the handle
// table and takes ownership: CloseHandle then deletes it, and a handle that
// was never entered or is already closed fails with ERROR_INVALID_HANDLE.
// nullptr (last error set, object freed) when the table cannot grow.
HANDLE RegisterHandle(std::unique_ptr<KernelObject> object);
// True while handle names an entered object that has not been closed.
bool IsLiveHandle(HANDLE handle);

// WAIT_OBJECT_0 when signalled, WAIT_TIMEOUT when the time-out passed first,
// WAIT_FAILED (with the last error set) for a handle that is not an event.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Any one of several (waitAll false): WAIT_OBJECT_0 + index of the lowest
// signalled handle, consuming only that one. waitAll true waits until all are
// signalled at once. Up to MAXIMUM_WAIT_OBJECTS handles.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds);

// Re-entrant: the owning thread may enter again and must leave as often.
class CRITICAL_SECTION {
public:
    void Enter() { Mutex.lock(); }
    bool TryEnter() { return Mutex.try_lock(); }
    void Leave() { Mutex.unlock(); }

private:
    std::recursive_mutex Mutex;
};

inline void InitializeCriticalSection(CRITICAL_SECTION*) {}
inline void DeleteCriticalSection(CRITICAL_SECTION*) {}
inline void EnterCriticalSection(CRITICAL_SECTION* section) { section->Enter(); }
inline BOOL TryEnterCriticalSection(CRITICAL_SECTION* section) { return section->TryEnter(); }
inline void LeaveCriticalSection(CRITICAL_SECTION* section) { section->Leave(); }

// Scoped hold of a critical section.
class TCriticalSectionLock {
public:
    explicit TCriticalSectionLock(CRITICAL_SECTION& section) : Section(section) { Section.Enter(); }
    ~TCriticalSectionLock() { Section.Leave(); }
    TCriticalSectionLock(const TCriticalSectionLock&) = delete;
    TCriticalSectionLock& operator=(const TCriticalSectionLock&) = delete;

private:
    CRITICAL_SECTION& Section;
};

// Both return the new value.
inline LONG InterlockedIncrement(std::atomic<LONG>* value) { return ++*value; }
inline LONG InterlockedDecrement(std::atomic<LONG>* value) { return --*value; }

// Sleep(0) yields the processor.
void Sleep(DWORD milliseconds);

} // namespace kivo::win
