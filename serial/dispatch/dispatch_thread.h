#pragma once
// The threads that serve a dispatcher. TKivDispatcherThread is the base of
// the dispatch thread and of the device layer's read, write and status
// threads: it holds the dispatcher it serves, enters itself in the
// dispatcher's slot for it before it runs, and offers the two synchronised
// calls onto the main thread that notifications and data packets use.
//
// These threads free themselves when their body ends; nothing else deletes
// one. A thread that is asked to go while it is still busy is Dismissed: its
// terminated flag is set and the dispatch thread is woken, and it frees
// itself at its next turn. The dispatcher waits for it instead of freeing it
// under its own feet.

#include "framework/thread.h"
#include "serial/dispatch/triggers.h"

#include <atomic>
#include <functional>

namespace kivo {

class TKivBaseDispatcher;

class TKivDispatcherThread : public TThread {
public:
    // slot, when given, is set to this thread before the thread runs and
    // cleared by the dispatcher's thread-end step.
    TKivDispatcherThread(TKivBaseDispatcher& dispatcher,
                         std::atomic<TKivDispatcherThread*>* slot);

    TKivBaseDispatcher& Dispatcher() const noexcept { return Owner; }

    // Runs an event handler on the main thread with the notification's
    // parameters while this thread waits, if stillAttached says so there.
    void SynchronizeTrigger(const TTriggerHandlerEvent& method, win::UINT message,
                            win::WPARAM handle, win::LPARAM param,
                            const std::function<bool()>& stillAttached);
    // Runs any method on the main thread while this thread waits.
    void SynchronizeMethod(const std::function<void()>& method);

    // Priority as steps above normal; the body applies it at its next turn
    // (ApplyPriority), since only a thread can set its own.
    void SetPriorityLevel(int level) noexcept { PriorityLevel.store(level); }
    int PriorityLevelWanted() const noexcept { return PriorityLevel.load(); }

    // The thread's id while its body runs: the sender the main thread sees
    // in its synchronised calls. 0 before the body begins.
    win::DWORD SenderId() const noexcept { return SenderIdValue.load(); }

    // The dispatcher thread running on the calling thread, if any.
    static TKivDispatcherThread* Current() noexcept;

    // Ends the thread in slot, if it is still there, without deleting it:
    // it frees itself at its next turn.
    static void Dismiss(TKivBaseDispatcher& dispatcher, std::atomic<TKivDispatcherThread*>& slot);

protected:
    ~TKivDispatcherThread() override = default;
    void DoTerminate() override;
    // The first and the last step of every body: the dispatcher's thread
    // start (counted and acknowledged, unless its launch counted it) and
    // thread end (exit code reported, slot cleared, counted out). Nothing of
    // the dispatcher may be touched after EndStep.
    void StartStep();
    void EndStep(int exitCode);
    // Call at each turn of the body's loop.
    void ApplyPriority();

private:
    TKivBaseDispatcher& Owner;
    const bool CountedAtLaunch;
    bool Arrived = false;  // the thread's own
    std::atomic<int> PriorityLevel{0};
    std::atomic<win::DWORD> SenderIdValue{0};
    int AppliedLevel = 0;
    TTriggerHandlerEvent PendingMethod;
    win::UINT PendingMessage = 0;
    win::WPARAM PendingHandle = 0;
    win::LPARAM PendingParam = 0;
};

// Waits for input, runs the dispatch and the timer and status passes, and
// releases the line at its end when a close or a failure asked for it.
class TDispThread final : public TKivDispatcherThread {
public:
    explicit TDispThread(TKivBaseDispatcher& dispatcher);

protected:
    void Execute() override;

private:
    ~TDispThread() override = default;
};

} // namespace kivo
