#pragma once
// The count of a dispatcher's threads that have started and not yet finished
// their end step, with the waits made for them: asleep until a thread leaves
// or a message arrives, serving the calling thread's messages one at a time
// meanwhile.
//
// Several threads may wait at once (the owner's destruction, a close, the
// dispatch thread releasing the line, the closing port's window), so each
// waiter registers an event of its own and every leave sets all of them:
// no waiter can take a wake-up meant for another. Leave and the waiters'
// registration are under Lock; any thread.

#include "platform/sync.h"
#include "platform/window.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace kivo::detail {

struct TThreadGate {
    // A bound on every wait, should a wake-up ever be missed all the same.
    static constexpr win::DWORD GateSlice = 55;

    // One wait on the gate, registered from construction on: a leave after
    // that wakes it, however late it begins to sleep.
    class TWaiter {
    public:
        explicit TWaiter(TThreadGate& gate) : Gate(gate), Left(win::CreateEvent(false, false))
        {
            if (!Left) return;
            std::lock_guard lock(Gate.Lock);
            try {
                Gate.Waiters.push_back(Left);
            } catch (...) {
                win::CloseHandle(Left);
                Left = nullptr;
            }
        }
        ~TWaiter()
        {
            if (!Left) return;
            {
                std::lock_guard lock(Gate.Lock);
                std::erase(Gate.Waiters, Left);
            }
            win::CloseHandle(Left);
        }
        TWaiter(const TWaiter&) = delete;
        TWaiter& operator=(const TWaiter&) = delete;

        // WAIT_OBJECT_0 after a leave, WAIT_OBJECT_0 + 1 for a message of
        // wakeMask, WAIT_TIMEOUT otherwise; at most milliseconds.
        win::DWORD Wait(win::DWORD milliseconds, win::DWORD wakeMask)
        {
            if (!Left) {
                // No event to sleep on: a short sleep, still never a spin.
                win::DWORD woke = win::MsgWaitForMultipleObjects(0, nullptr, 1, wakeMask);
                return woke == win::WAIT_OBJECT_0 ? win::WAIT_OBJECT_0 + 1 : win::WAIT_TIMEOUT;
            }
            win::DWORD woke = win::MsgWaitForMultipleObjects(1, &Left, milliseconds, wakeMask);
            if (woke == win::WAIT_FAILED) {
                win::Sleep(1);
                return win::WAIT_TIMEOUT;
            }
            return woke;
        }

    private:
        TThreadGate& Gate;
        win::HANDLE Left;
    };

    TThreadGate() { Waiters.reserve(4); }
    TThreadGate(const TThreadGate&) = delete;
    TThreadGate& operator=(const TThreadGate&) = delete;

    void Enter()
    {
        Entered.fetch_add(1);
        Alive.fetch_add(1);
    }
    void Leave()
    {
        std::lock_guard lock(Lock);
        Alive.fetch_sub(1);
        for (win::HANDLE waiter : Waiters) win::SetEvent(waiter);
    }

    void WaitForAll()
    {
        TWaiter waiter(*this);
        while (Alive.load() > 0)
            if (waiter.Wait(GateSlice, win::QS_ALLINPUT) == win::WAIT_OBJECT_0 + 1)
                win::ProcessOneMessage();
    }

    std::atomic<int> Alive{0};
    // Every thread that ever entered, counted as it launched or arrived.
    std::atomic<unsigned> Entered{0};

private:
    win::TBriefMutex Lock;
    std::vector<win::HANDLE> Waiters;
};

} // namespace kivo::detail
