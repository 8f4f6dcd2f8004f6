// Event objects, the handle table behind CloseHandle, and the waits.
//
// One process-wide mutex guards the handle table and the state of every
// event, so a wait on several events sees them all at one instant and no lock
// order between events can arise. Each waiting thread brings its own
// condition variable and enters itself on the events it waits on; SetEvent
// satisfies waiters directly (consuming an auto-reset event for exactly one
// of them) and wakes only those it satisfied.

#include "platform/sync.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <new>
#include <thread>
#include <unordered_set>
#include <vector>

namespace kivo::win {

namespace {

class EventObject;

struct Waiter {
    std::condition_variable Wake;
    EventObject* const* Events = nullptr;
    DWORD Count = 0;
    bool WaitAll = false;
    DWORD Result = WAIT_TIMEOUT;  // set to WAIT_OBJECT_0 + index once satisfied
    bool Satisfied = false;
};

class EventObject final : public KernelObject {
public:
    EventObject(bool manualReset, bool initialState)
        : ManualReset(manualReset), Signalled(initialState)
    {
    }

    const bool ManualReset;
    bool Signalled;
    // Closed while threads still waited on it: the last waiter to leave frees it.
    bool Orphaned = false;
    std::vector<Waiter*> Waiters;  // in arrival order
};

struct HandleTable {
    std::mutex Lock;
    std::unordered_set<KernelObject*> Live;
};

// Never destroyed: threads may still close handles while statics are torn down.
HandleTable& Table()
{
    static HandleTable* table = new HandleTable;
    return *table;
}

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

// Caller holds the table lock. Takes the waiter off every list it is still
// on and frees the events that were closed while it waited.
void Leave(Waiter& waiter)
{
    for (DWORD i = 0; i < waiter.Count; ++i) {
        auto& list = waiter.Events[i]->Waiters;
        list.erase(std::remove(list.begin(), list.end(), &waiter), list.end());
    }
    for (DWORD i = 0; i < waiter.Count; ++i) {
        EventObject* event = waiter.Events[i];
        if (!event->Orphaned || !event->Waiters.empty()) continue;
        // One event may appear twice in a wait for any: free it at its last place.
        bool appearsLater = false;
        for (DWORD j = i + 1; j < waiter.Count; ++j) appearsLater = appearsLater || waiter.Events[j] == event;
        if (!appearsLater) delete event;
    }
}

// Caller holds the table lock; event has just become signalled.
void ReleaseWaiters(EventObject* event)
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
        // Notified under the lock: once unlocked the waiter may return and
        // take its condition variable with it.
        waiter->Wake.notify_one();
    }
}

// Resolves the handles and waits under one hold of the lock, so a handle
// closed by another thread is either refused here or kept alive by the wait.
DWORD Wait(const HANDLE* handles, DWORD count, bool waitAll, DWORD milliseconds)
{
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
    if (milliseconds == 0) return WAIT_TIMEOUT;

    Waiter waiter;
    waiter.Events = events;
    waiter.Count = count;
    waiter.WaitAll = waitAll;
    try {
        for (DWORD i = 0; i < count; ++i) {
            auto& list = events[i]->Waiters;
            if (std::find(list.begin(), list.end(), &waiter) == list.end()) list.push_back(&waiter);
        }
    } catch (const std::bad_alloc&) {
        Leave(waiter);
        return WaitFailedWith(ERROR_NOT_ENOUGH_MEMORY);
    }

    if (milliseconds == INFINITE) {
        waiter.Wake.wait(lock, [&] { return waiter.Satisfied; });
    } else {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        waiter.Wake.wait_until(lock, deadline, [&] { return waiter.Satisfied; });
    }
    Leave(waiter);
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
    HandleTable& table = Table();
    std::lock_guard lock(table.Lock);
    EventObject* event = EventFromHandle(table, handle);
    if (!event) return FailWith(ERROR_INVALID_HANDLE);
    event->Signalled = true;
    ReleaseWaiters(event);
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
        if (auto* event = dynamic_cast<EventObject*>(handle); event && !event->Waiters.empty()) {
            // Waits in progress keep the object, as on Windows; nobody can
            // signal it any more, so they end by their time-outs.
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
