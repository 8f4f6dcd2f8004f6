#pragma once
// Event objects, waits, critical sections and interlocked counters with the
// Win32 semantics the stack relies on. A wait blocks until it is signalled or
// its time-out passes; only a wait made within a TBriefWaits scope spins first,
// for a bounded few microseconds.

#include "platform/win_types.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
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
// Stores value in word (release), then sets event as SetEvent does, and no
// CloseHandle of event comes between the two. Whoever sees the value may
// close the event at once: the signal cannot land on an event created after
// it at the same address. word is stored even when event is not one.
BOOL SetEventPublishing(HANDLE event, std::uintptr_t* word, std::uintptr_t value);

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

// Take a mutex that another thread holds: spin first for a few microseconds
// (not at all on one CPU), then block. The sections of this layer and of the
// stack are held for well under that, and a thread put to sleep on one costs
// a wake-up on the other CPU worth many times it.
void LockContended(std::mutex& mutex);
void LockContended(std::recursive_mutex& mutex);

// A mutex for short sections that several threads take, as the platform's
// critical sections with a spin count are.
template <typename TMutex>
class TBrief {
public:
    void lock()
    {
        if (!Mutex.try_lock()) LockContended(Mutex);
    }
    bool try_lock() { return Mutex.try_lock(); }
    void unlock() { Mutex.unlock(); }

private:
    TMutex Mutex;
};
using TBriefMutex = TBrief<std::mutex>;

// Re-entrant: the owning thread may enter again and must leave as often.
class CRITICAL_SECTION {
public:
    void Enter() { Mutex.lock(); }
    bool TryEnter() { return Mutex.try_lock(); }
    void Leave() { Mutex.unlock(); }

private:
    TBrief<std::recursive_mutex> Mutex;
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

// ---- Brief waits -----------------------------------------------------------

// How well spinning has paid at one kind of wait on one thread. A spin that
// ends in the answer earns a credit, one that runs out loses two; without
// credit only every ProbeEvery-th wait spins, to find out whether it pays
// again. On a busy machine a partner is seldom running while one spins, a
// wake-up is cheap there, and spinning would only take the CPU from it.
class TSpinGauge {
public:
    bool ShouldSpin() noexcept { return Credit > 0 || ++Skipped % ProbeEvery == 0; }
    void Record(bool answered) noexcept
    {
        Credit = answered ? (Credit < MaxCredit ? Credit + 1 : MaxCredit)
                          : (Credit > Penalty ? Credit - Penalty : 0);
    }

private:
    static constexpr int MaxCredit = 8;
    static constexpr int Penalty = 2;
    static constexpr unsigned ProbeEvery = 32;
    int Credit = MaxCredit;
    unsigned Skipped = 0;
};

// For waits whose partner usually answers within microseconds (a thread
// acknowledging its start or leaving at a stop, the main thread running a
// synchronised call): within the scope, the calling thread's event waits and
// message waits first spin for up to SpinLimit(), as gauge allows, before
// they sleep. Waking a sleeping thread on the other, idle CPU costs far more
// than that. Scopes nest (the innermost gauge counts) and belong to the
// thread that made them; gauge outlives the scope.
class TBriefWaits {
public:
    explicit TBriefWaits(TSpinGauge& gauge) noexcept;
    ~TBriefWaits();
    TBriefWaits(const TBriefWaits&) = delete;
    TBriefWaits& operator=(const TBriefWaits&) = delete;

private:
    TSpinGauge* Outer;
};

// While one lives, the waiters that the calling thread's SetEvent calls
// satisfy are woken only as it ends. A thread that signals under a lock of
// its own makes one before it takes that lock, so that a woken thread does
// not find the lock still held and sleep on it. Nothing inside a scope may
// wait for a thread it woke. Scopes nest and belong to the thread that made
// them.
class TWakesHeld {
public:
    TWakesHeld() noexcept;
    ~TWakesHeld();
    TWakesHeld(const TWakesHeld&) = delete;
    TWakesHeld& operator=(const TWakesHeld&) = delete;

    // For the events: keeps word's wake for the calling thread's innermost
    // scope; false when there is none or it is full.
    static bool Keep(std::atomic<std::uint32_t>& word) noexcept;

private:
    static constexpr std::size_t Capacity = 8;
    TWakesHeld* Outer;
    std::size_t Count = 0;
    std::atomic<std::uint32_t>* Words[Capacity];
};

// A word that threads sleep on until it changes, beside state that a mutex
// of its own guards. Unlike a condition variable it costs nothing when nobody
// sleeps, and a woken thread takes its mutex back without marking it
// contended (which would cost its next unlock a futex wake for nobody).
class TChangeWord {
public:
    std::uint32_t Load() const noexcept { return Word.load(); }
    // Changes the word and wakes every thread that sleeps on it.
    void Bump() noexcept;
    // Sleeps while the word holds seen, for good or until deadline; may
    // return early, so the caller looks again.
    void SleepWhile(std::uint32_t seen,
                    const std::chrono::steady_clock::time_point* deadline = nullptr) noexcept;

private:
    std::atomic<std::uint32_t> Word{0};
    std::atomic<std::uint32_t> Sleepers{0};
};

// The bound of one spin, or zero when spinning cannot help: the calling
// thread may run on one CPU only, so a partner could not run while it spins.
std::chrono::nanoseconds SpinLimit() noexcept;

inline void CpuRelax() noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Spins until done() holds or SpinLimit() has passed, if gauge allows, and
// tells gauge how it went; done must read atomics (acquire order for what it
// hands on). True when done.
template <typename Done>
bool SpinBriefly(TSpinGauge& gauge, Done done)
{
    if (done()) return true;
    const std::chrono::nanoseconds limit = SpinLimit();
    if (limit.count() == 0 || !gauge.ShouldSpin()) return false;
    const auto start = std::chrono::steady_clock::now();
    for (unsigned round = 1;; ++round) {
        CpuRelax();
        if (done()) break;
        if (round % 16 == 0 && std::chrono::steady_clock::now() - start >= limit) {
            bool answered = done();
            gauge.Record(answered);
            return answered;
        }
    }
    gauge.Record(true);
    return true;
}

} // namespace kivo::win
