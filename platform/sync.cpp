// Event objects, the handle table behind CloseHandle, and the waits.
//
// One process-wide mutex guards the handle table and the state of every
// event, so a wait on several events sees them all at one instant and no lock
// order between events can arise. Each waiting thread enters its waiter
// record on the events it waits on; SetEvent satisfies waiters directly
// (consuming an auto-reset event for exactly one of them) under the lock and
// wakes only those it satisfied, after the lock is released, so a woken
// thread does not run straight into it.
//
// The wake is a store to the waiter's futex word, and a futex wake only when
// the waiter has said it sleeps: a waiter still spinning (a brief wait) is
// spared the system call. Waiter records belong to threads and are recycled,
// never freed, so a wake that arrives after its waiter has left (timed out,
// or already gone on to its next wait) only ever lands on a live record as
// a spurious wake-up, which the waiter re-checks under the lock.

#include "platform/sync.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <linux/futex.h>
#include <memory>
#include <new>
#include <sched.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace kivo::win {

namespace {

class EventObject;

// States of a waiter's futex word.
constexpr std::uint32_t WordAwake = 0;   // waiting, not (yet) asleep
constexpr std::uint32_t WordWoken = 1;   // a waker has been
constexpr std::uint32_t WordAsleep = 2;  // asleep, or about to be: a waker must wake it

// Everything but Wake is guarded by the table lock.
struct Waiter {
    // A waker exchanges in WordWoken after the lock is released and the
    // thread then re-checks Satisfied under the lock.
    std::atomic<std::uint32_t> Wake{WordAwake};
    EventObject* const* Events = nullptr;
    DWORD Count = 0;
    bool WaitAll = false;
    DWORD Result = WAIT_TIMEOUT;  // set to WAIT_OBJECT_0 + index once satisfied
    bool Satisfied = false;
    Waiter* NextFree = nullptr;
};

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

class EventObject final : public KernelObject {
public:
    EventObject(bool manualReset, bool initialState)
        : ManualReset(manualReset), Signalled(initialState)
    {
    }

    const bool ManualReset;
    bool Signalled;
    // Waits that hold it until they leave, satisfied or not: a satisfied
    // waiter is off the list below but still reads it as it leaves.
    unsigned Users = 0;
    // Closed while waits held it: the last of them to leave frees it.
    bool Orphaned = false;
    std::vector<Waiter*> Waiters;  // in arrival order
};

struct HandleTable {
    TBriefMutex Lock;
    std::unordered_set<KernelObject*> Live;
    Waiter* FreeWaiters = nullptr;  // records of threads that have ended
};

// Never destroyed: threads may still close handles while statics are torn down.
HandleTable& Table()
{
    static HandleTable* table = new HandleTable;
    return *table;
}

// The calling thread's waiter record: taken from the recycled ones or made
// on its first wait, handed back when the thread ends.
class WaiterSlot {
public:
    ~WaiterSlot()
    {
        if (!Record) return;
        HandleTable& table = Table();
        std::lock_guard lock(table.Lock);
        Record->NextFree = table.FreeWaiters;
        table.FreeWaiters = Record;
        Record = nullptr;
    }

    // Caller holds the table lock. nullptr when no record can be made.
    Waiter* Get(HandleTable& table)
    {
        if (Record) return Record;
        if (table.FreeWaiters) {
            Record = table.FreeWaiters;
            table.FreeWaiters = Record->NextFree;
            Record->NextFree = nullptr;
        } else {
            Record = new (std::nothrow) Waiter;
        }
        return Record;
    }

private:
    Waiter* Record = nullptr;
};

thread_local WaiterSlot OwnWaiter;

// Sleeps while word holds value, until deadline (absolute, CLOCK_MONOTONIC,
// which steady_clock reads) or for good when deadline is nullptr. May return
// early.
void SleepOnWord(std::atomic<std::uint32_t>& word, std::uint32_t value, const timespec* deadline)
{
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word),
              FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, value, deadline, nullptr,
              FUTEX_BITSET_MATCH_ANY);
}

timespec AbsoluteTime(std::chrono::steady_clock::time_point at)
{
    auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch());
    return timespec{static_cast<time_t>(since.count() / 1'000'000'000),
                    static_cast<long>(since.count() % 1'000'000'000)};
}

void WakeWord(std::atomic<std::uint32_t>& word)
{
    if (word.exchange(WordWoken, std::memory_order_acq_rel) != WordAsleep) return;
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG,
              1, nullptr, nullptr, 0);
}

// Until the word is woken or the deadline passes (forever: never).
void AwaitWord(std::atomic<std::uint32_t>& word, bool forever,
               std::chrono::steady_clock::time_point deadline, const timespec& until)
{
    for (;;) {
        std::uint32_t state = word.load(std::memory_order_acquire);
        if (state == WordWoken) return;
        if (!forever && std::chrono::steady_clock::now() >= deadline) return;
        // Announced before the sleep, so that a waker knows to wake it.
        if (state == WordAwake &&
            !word.compare_exchange_strong(state, WordAsleep, std::memory_order_acq_rel))
            continue;
        SleepOnWord(word, WordAsleep, forever ? nullptr : &until);
    }
}

// The waiters one SetEvent satisfied, woken once the lock is released. More
// than fit here are woken at once, under the lock, which is only slower.
class WakeList {
public:
    WakeList() = default;
    WakeList(const WakeList&) = delete;
    WakeList& operator=(const WakeList&) = delete;

    void Add(Waiter* waiter)
    {
        if (Count < Capacity)
            Pending[Count++] = waiter;
        else
            WakeWord(waiter->Wake);
    }

    void WakeAll()
    {
        for (std::size_t i = 0; i < Count; ++i)
            if (!TWakesHeld::Keep(Pending[i]->Wake)) WakeWord(Pending[i]->Wake);
        Count = 0;
    }

private:
    static constexpr std::size_t Capacity = 16;
    Waiter* Pending[Capacity];
    std::size_t Count = 0;
};

BOOL FailWith(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

DWORD WaitFailedWith(DWORD error)
{
    SetLastError(error);
    return WAIT_FAILED;
}

// Caller holds the table lock.
EventObject* EventFromHandle(HandleTable& table, HANDLE handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    if (table.Live.find(handle) == table.Live.end()) return nullptr;
    return dynamic_cast<EventObject*>(handle);
}

// The index a wait would return now, or -1 when it cannot be satisfied yet.
int SatisfiableIndex(EventObject* const* events, DWORD count, bool waitAll)
{
    if (waitAll) {
        for (DWORD i = 0; i < count; ++i)
            if (!events[i]->Signalled) return -1;
        return 0;
    }
    for (DWORD i = 0; i < count; ++i)
        if (events[i]->Signalled) return static_cast<int>(i);
    return -1;
}

void Consume(EventObject* const* events, DWORD count, bool waitAll, int index)
{
    if (waitAll) {
        for (DWORD i = 0; i < count; ++i)
            if (!events[i]->ManualReset) events[i]->Signalled = false;
        return;
    }
    EventObject* event = events[index];
    if (!event->ManualReset) event->Signalled = false;
}

// One event may appear twice in a wait for any; a wait holds it once.
bool FirstPlace(EventObject* const* events, DWORD index)
{
    for (DWORD j = 0; j < index; ++j)
        if (events[j] == events[index]) return false;
    return true;
}

// Caller holds the table lock. Takes the waiter off every list it is still
// on and frees the events that were closed while it waited.
void Leave(Waiter& waiter)
{
    for (DWORD i = 0; i < waiter.Count; ++i) {
        auto& list = waiter.Events[i]->Waiters;
        list.erase(std::remove(list.begin(), list.end(), &waiter), list.end());
    }
    for (DWORD i = 0; i < waiter.Count; ++i) {
        if (!FirstPlace(waiter.Events, i)) continue;
        EventObject* event = waiter.Events[i];
        if (--event->Users == 0 && event->Orphaned) delete event;
    }
}

// Caller holds the table lock; event has just become signalled.
void ReleaseWaiters(EventObject* event, WakeList& woken)
{
    // A satisfied waiter leaves this list; the index moves only past those that stay.
    std::size_t i = 0;
    while (i < event->Waiters.size() && event->Signalled) {
        Waiter* waiter = event->Waiters[i];
        int index = SatisfiableIndex(waiter->Events, waiter->Count, waiter->WaitAll);
        if (index < 0) {
            ++i;
            continue;
        }
        Consume(waiter->Events, waiter->Count, waiter->WaitAll, index);
        waiter->Result = WAIT_OBJECT_0 + static_cast<DWORD>(index);
        waiter->Satisfied = true;
        for (DWORD k = 0; k < waiter->Count; ++k) {
            auto& list = waiter->Events[k]->Waiters;
            list.erase(std::remove(list.begin(), list.end(), waiter), list.end());
        }
        woken.Add(waiter);
    }
}

// The gauge of the innermost brief-wait scope, if any.
thread_local TSpinGauge* BriefGauge = nullptr;

// Resolves the handles and waits under one hold of the lock, so a handle
// closed by another thread is either refused here or kept alive by the wait.
DWORD Wait(const HANDLE* handles, DWORD count, bool waitAll, DWORD milliseconds)
{
    TSpinGauge* spin = BriefGauge;
    EventObject* events[MAXIMUM_WAIT_OBJECTS];
    HandleTable& table = Table();
    std::unique_lock lock(table.Lock);
    for (DWORD i = 0; i < count; ++i) {
        events[i] = EventFromHandle(table, handles[i]);
        if (!events[i]) return WaitFailedWith(ERROR_INVALID_HANDLE);
    }
    if (waitAll) {
        // One object twice in a wait for all is ambiguous; Windows refuses it too.
        for (DWORD i = 0; i < count; ++i)
            for (DWORD j = i + 1; j < count; ++j)
                if (events[i] == events[j]) return WaitFailedWith(ERROR_INVALID_PARAMETER);
    }

    int index = SatisfiableIndex(events, count, waitAll);
    if (index >= 0) {
        Consume(events, count, waitAll, index);
        return WAIT_OBJECT_0 + static_cast<DWORD>(index);
    }
    // A brief wait with no time-out still spins: a caller polling between
    // steps of its own (an event loop) looks a little longer.
    if (milliseconds == 0 && !spin) return WAIT_TIMEOUT;

    Waiter* own = OwnWaiter.Get(table);
    if (!own) return WaitFailedWith(ERROR_NOT_ENOUGH_MEMORY);
    Waiter& waiter = *own;
    waiter.Events = events;
    waiter.Count = count;
    waiter.WaitAll = waitAll;
    waiter.Result = WAIT_TIMEOUT;
    waiter.Satisfied = false;
    waiter.Wake.store(WordAwake, std::memory_order_relaxed);
    for (DWORD i = 0; i < count; ++i)
        if (FirstPlace(events, i)) ++events[i]->Users;
    try {
        for (DWORD i = 0; i < count; ++i) {
            auto& list = events[i]->Waiters;
            if (std::find(list.begin(), list.end(), &waiter) == list.end()) list.push_back(&waiter);
        }
    } catch (const std::bad_alloc&) {
        Leave(waiter);
        return WaitFailedWith(ERROR_NOT_ENOUGH_MEMORY);
    }

    using Clock = std::chrono::steady_clock;
    const bool forever = milliseconds == INFINITE;
    const Clock::time_point deadline =
        forever ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(milliseconds);
    const timespec until = forever ? timespec{} : AbsoluteTime(deadline);
    for (;;) {
        lock.unlock();
        if (spin)
            SpinBriefly(*spin, [&] { return waiter.Wake.load(std::memory_order_acquire) == WordWoken; });
        AwaitWord(waiter.Wake, forever, deadline, until);
        lock.lock();
        if (waiter.Satisfied || (!forever && Clock::now() >= deadline)) break;
        // A late wake meant for an earlier wait of this record: sleep again.
        waiter.Wake.store(WordAwake, std::memory_order_relaxed);
        spin = nullptr;
    }
    Leave(waiter);
    waiter.Events = nullptr;
    waiter.Count = 0;
    return waiter.Satisfied ? waiter.Result : WAIT_TIMEOUT;
}

} // namespace

HANDLE CreateEvent(bool manualReset, bool initialState)
{
    auto event = std::unique_ptr<EventObject>(new (std::nothrow) EventObject(manualReset, initialState));
    if (!event) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return RegisterHandle(std::move(event));
}

HANDLE RegisterHandle(std::unique_ptr<KernelObject> object)
{
    if (!object) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HandleTable& table = Table();
    try {
        std::lock_guard lock(table.Lock);
        table.Live.insert(object.get());
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return object.release();
}

bool IsLiveHandle(HANDLE handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    HandleTable& table = Table();
    std::lock_guard lock(table.Lock);
    return table.Live.find(handle) != table.Live.end();
}

BOOL SetEvent(HANDLE handle)
{
    return SetEventPublishing(handle, nullptr, 0);
}

BOOL SetEventPublishing(HANDLE handle, std::uintptr_t* word, std::uintptr_t value)
{
    HandleTable& table = Table();
    WakeList woken;
    {
        std::lock_guard lock(table.Lock);
        // Under the table's lock, so no CloseHandle falls between the store
        // and the signal.
        if (word) std::atomic_ref<std::uintptr_t>(*word).store(value, std::memory_order_release);
        EventObject* event = EventFromHandle(table, handle);
        if (!event) return FailWith(ERROR_INVALID_HANDLE);
        event->Signalled = true;
        ReleaseWaiters(event, woken);
    }
    woken.WakeAll();
    return TRUE;
}

BOOL ResetEvent(HANDLE handle)
{
    HandleTable& table = Table();
    std::lock_guard lock(table.Lock);
    EventObject* event = EventFromHandle(table, handle);
    if (!event) return FailWith(ERROR_INVALID_HANDLE);
    event->Signalled = false;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return FailWith(ERROR_INVALID_HANDLE);
    HandleTable& table = Table();
    {
        std::lock_guard lock(table.Lock);
        auto found = table.Live.find(handle);
        if (found == table.Live.end()) return FailWith(ERROR_INVALID_HANDLE);
        table.Live.erase(found);
        if (auto* event = dynamic_cast<EventObject*>(handle); event && event->Users != 0) {
            // Waits in progress keep the object, as on Windows, those it
            // released until they have left; nobody can signal it any more,
            // so the others end by their time-outs.
            event->Orphaned = true;
            return TRUE;
        }
    }
    // Outside the lock: a serial file's destructor stops its own threads.
    delete handle;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    return Wait(&handle, 1, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr)
        return WaitFailedWith(ERROR_INVALID_PARAMETER);
    return Wait(handles, count, waitAll != FALSE, milliseconds);
}

namespace {
thread_local TWakesHeld* HeldWakes = nullptr;
} // namespace

TWakesHeld::TWakesHeld() noexcept : Outer(HeldWakes)
{
    HeldWakes = this;
}

TWakesHeld::~TWakesHeld()
{
    HeldWakes = Outer;
    for (std::size_t i = 0; i < Count; ++i) WakeWord(*Words[i]);
}

bool TWakesHeld::Keep(std::atomic<std::uint32_t>& word) noexcept
{
    TWakesHeld* scope = HeldWakes;
    if (!scope || scope->Count == Capacity) return false;
    scope->Words[scope->Count++] = &word;
    return true;
}

TBriefWaits::TBriefWaits(TSpinGauge& gauge) noexcept : Outer(BriefGauge)
{
    BriefGauge = &gauge;
}

TBriefWaits::~TBriefWaits()
{
    BriefGauge = Outer;
}

namespace {

// Shorter than a wait's spin: a holder that has not let go by then has
// most likely been put to sleep itself.
constexpr std::chrono::nanoseconds LockSpin = std::chrono::microseconds(4);

template <typename Mutex>
void SpinThenLock(Mutex& mutex)
{
    if (SpinLimit().count() != 0) {
        const auto start = std::chrono::steady_clock::now();
        for (unsigned round = 1;; ++round) {
            CpuRelax();
            if (mutex.try_lock()) return;
            if (round % 16 == 0 && std::chrono::steady_clock::now() - start >= LockSpin) break;
        }
    }
    mutex.lock();
}

} // namespace

void LockContended(std::mutex& mutex)
{
    SpinThenLock(mutex);
}

void LockContended(std::recursive_mutex& mutex)
{
    SpinThenLock(mutex);
}

void TChangeWord::Bump() noexcept
{
    Word.fetch_add(1);
    if (Sleepers.load() == 0) return;
    const int saved = errno;
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&Word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG,
              INT32_MAX, nullptr, nullptr, 0);
    errno = saved;
}

void TChangeWord::SleepWhile(std::uint32_t seen,
                             const std::chrono::steady_clock::time_point* deadline) noexcept
{
    const timespec until = deadline ? AbsoluteTime(*deadline) : timespec{};
    const int saved = errno;
    // Counted before the last look: a Bump after it sees a sleeper.
    Sleepers.fetch_add(1);
    if (Word.load() == seen) SleepOnWord(Word, seen, deadline ? &until : nullptr);
    Sleepers.fetch_sub(1);
    errno = saved;
}

std::chrono::nanoseconds SpinLimit() noexcept
{
    // About what waking a sleeping thread on the other, idle CPU costs on
    // the machine this was measured on: spinning longer than a wake-up
    // costs cannot pay. KIVO_SPIN_US tunes it for another machine (0: no
    // spinning), a millisecond at most.
    static const std::chrono::nanoseconds bound = [] {
        long micros = 20;
        if (const char* tuned = std::getenv("KIVO_SPIN_US")) micros = std::strtol(tuned, nullptr, 10);
        return std::chrono::nanoseconds(std::clamp(micros, 0L, 1000L) * 1000);
    }();
    // The thread's CPUs, looked at again now and then: a test or the
    // operator may pin it meanwhile.
    thread_local std::chrono::steady_clock::time_point lookedAt{};
    thread_local bool severalCpus = false;
    const auto now = std::chrono::steady_clock::now();
    if (now - lookedAt > std::chrono::milliseconds(100)) {
        cpu_set_t cpus;
        severalCpus = ::sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 1;
        lookedAt = now;
    }
    return severalCpus ? bound : std::chrono::nanoseconds(0);
}

void Sleep(DWORD milliseconds)
{
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    if (milliseconds == INFINITE) {
        // Nothing can wake such a sleep; block for good without spinning.
        std::mutex never;
        std::condition_variable forever;
        std::unique_lock lock(never);
        forever.wait(lock, [] { return false; });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // namespace kivo::win
