// The dispatch thread's body and the synchronised calls of the dispatcher
// threads.

#include "serial/dispatch/dispatch_thread.h"

#include "platform/thread_priority.h"
#include "platform/window.h"
#include "serial/dispatch/base_dispatcher.h"

namespace kivo {

using namespace kivo::win;

namespace {
thread_local TKivDispatcherThread* CurrentThread = nullptr;
}

TKivDispatcherThread::TKivDispatcherThread(TKivBaseDispatcher& dispatcher,
                                           std::atomic<TKivDispatcherThread*>* slot)
    : Owner(dispatcher), CountedAtLaunch(dispatcher.CountingLaunches)
{
    FreeOnTerminate = true;
    // An opening may hold a line's threads back until its settings are in.
    StartMayBeHeld = true;
    if (slot) slot->store(this);
}

void TKivDispatcherThread::SynchronizeTrigger(const TTriggerHandlerEvent& method, UINT message,
                                              WPARAM handle, LPARAM param,
                                              const std::function<bool()>& stillAttached)
{
    PendingMethod = method;
    PendingMessage = message;
    PendingHandle = handle;
    PendingParam = param;
    Synchronize([this, &stillAttached] {
        // Asked while this thread still waits, so what it names is alive.
        if (!stillAttached()) return;
        // A handler that destroys the port lets this thread go before it
        // returns, since the destruction waits for this thread
        // (ReplyToSender); the thread may then end and free itself. The call
        // runs from a copy and touches nothing of it afterwards.
        const TTriggerHandlerEvent call = PendingMethod;
        PermitEarlyReply();
        call(PendingMessage, PendingHandle, PendingParam);
    });
    PendingMethod = nullptr;
}

void TKivDispatcherThread::SynchronizeMethod(const std::function<void()>& method)
{
    Synchronize(method);
}

TKivDispatcherThread* TKivDispatcherThread::Current() noexcept
{
    return CurrentThread;
}

void TKivDispatcherThread::StartStep()
{
    CurrentThread = this;
    SenderIdValue = GetCurrentThreadId();
    Arrived = true;
    if (!CountedAtLaunch) Owner.ThreadStarted();
}

void TKivDispatcherThread::DoTerminate()
{
    // Dismissed before it ever ran, its body was skipped, and with it the
    // end step that takes back the count its launch made.
    if (CountedAtLaunch && !Arrived) {
        CurrentThread = this;  // as the end step finds it on a thread that ran
        EndStep(0);
    }
    TThread::DoTerminate();
}

void TKivDispatcherThread::EndStep(int exitCode)
{
    Owner.ThreadEnded(this, exitCode);
    // Its thread may be parked and run another job, which is no line's thread.
    CurrentThread = nullptr;
}

void TKivDispatcherThread::ApplyPriority()
{
    int wanted = PriorityLevel.load();
    if (wanted == AppliedLevel) return;
    AppliedLevel = wanted;
    // Refused without privilege to raise it: the thread keeps running at
    // the level it has.
    SetCurrentThreadPriorityLevel(wanted);
}

void TKivDispatcherThread::Dismiss(TKivBaseDispatcher& dispatcher,
                                   std::atomic<TKivDispatcherThread*>& slot)
{
    {
        // The end step clears the slot under the same lock, so a thread
        // found here has not begun to free itself.
        TCriticalSectionLock hold(dispatcher.StateLock);
        if (TKivDispatcherThread* thread = slot.load()) thread->Terminate();
    }
    dispatcher.StopRequested = true;
}

TDispThread::TDispThread(TKivBaseDispatcher& dispatcher)
    : TKivDispatcherThread(dispatcher, &dispatcher.DispatchThread)
{
}

void TDispThread::Execute()
{
    StartStep();
    TKivBaseDispatcher& line = Dispatcher();
    try {
        bool normalEnd = true;
        for (;;) {
            line.WaitForInput(line.NextWaitMilliseconds());
            if (line.StopRequested || Terminated()) {
                normalEnd = false;
                break;
            }
            ApplyPriority();
            line.DispatchPass();
            line.TimerStatusPass();
            if (line.StopRequested || line.ClosePending || Terminated()) break;
        }
        if (normalEnd && line.ThreadAckEvent) SetEvent(line.ThreadAckEvent);
    } catch (...) {
        DisplayException(std::current_exception());
    }
    line.DispatchThreadEnding(this);
    CurrentThread = nullptr;
}

} // namespace kivo
