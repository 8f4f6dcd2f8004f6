#pragma once
// The count of a dispatcher's threads that have started and not yet finished
// their end step, with the wait that destruction makes for it: asleep until a
// thread leaves or a message arrives, serving the calling thread's messages
// one at a time meanwhile.

#include "platform/sync.h"
#include "platform/window.h"

#include <atomic>

namespace kivo::detail {

struct TThreadGate {
    static constexpr win::DWORD GateSlice = 55;

    TThreadGate() : Left(win::CreateEvent(false, false)) {}
    ~TThreadGate()
    {
        if (Left) win::CloseHandle(Left);
    }
    TThreadGate(const TThreadGate&) = delete;
    TThreadGate& operator=(const TThreadGate&) = delete;

    void Enter() { Alive.fetch_add(1); }
    void Leave()
    {
        Alive.fetch_sub(1);
        win::SetEvent(Left);
    }

    void WaitForAll()
    {
        while (Alive.load() > 0) {
            // Sliced: Left wakes one waiter, and another wait on the gate (a
            // thread releasing the line) may have taken this wake-up.
            win::DWORD woke =
                win::MsgWaitForMultipleObjects(1, &Left, GateSlice, win::QS_ALLINPUT);
            if (woke == win::WAIT_OBJECT_0 + 1)
                win::ProcessOneMessage();
            else if (woke == win::WAIT_FAILED)
                win::Sleep(1);  // no event to wait on: still never a spin
        }
    }

    std::atomic<int> Alive{0};
    win::HANDLE Left;
};

} // namespace kivo::detail
