#pragma once
// The framework's thread: a body run once on a thread of its own, a
// terminated flag the body polls, a termination hook run on the main thread,
// a return value, and synchronised calls onto the main thread through its
// message queue. Also the display of exceptions nobody else handled, which
// the application replaces with its own error handler.
//
// Ownership: whoever creates a thread object owns it, unless FreeOnTerminate
// is set; such a thread belongs to itself from Start on and frees itself when
// its body has ended, so nobody else may delete it, wait for it or use its
// Handle after it may have ended. Destroying a thread that still runs
// terminates it, wakes it (TerminateEvent) and waits for it to end; a running
// thread is never freed under its own feet. That last wait happens after the
// derived destructors have run, so a derived class whose body uses its own
// members ends the thread in its own destructor (Terminate, then WaitFor).
//
// Waits for a thread (WaitFor, the destructor) serve the calling thread's
// sent messages and synchronised calls, never its posted messages: the ending
// thread may need the main thread for its OnTerminate, an exception display
// or a last synchronised call.

#include "framework/event.h"
#include "platform/parked_threads.h"
#include "platform/win_types.h"

#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

namespace kivo {

class TThread : public TObject {
public:
    // Created suspended; Start runs it.
    TThread();
    ~TThread() override;

    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // The created-running form: constructs T and starts it. With
    // FreeOnTerminate set by T's constructor the pointer is only good while
    // the thread is known to run. When Start raises, T is freed before the
    // error is passed on.
    template <typename T, typename... Args>
    static T* StartNew(Args&&... args)
    {
        T* thread = new T(std::forward<Args>(args)...);
        try {
            thread->Start();
        } catch (...) {
            // Never started, so nobody else holds it: not even one that frees itself.
            delete static_cast<TThread*>(thread);
            throw;
        }
        return thread;
    }

    // Raises kivo::Exception when already started or when no thread can be made.
    void Start();

    // Sets the terminated flag and TerminateEvent; the body decides when to
    // stop. From any thread.
    void Terminate();
    bool Terminated() const noexcept { return TerminatedFlag.load(); }

    // Waits until the body and OnTerminate have ended and returns
    // ReturnValue. Raises kivo::Exception for a thread that was never
    // started, that frees itself, or when called from the thread itself.
    // A thread being waited for never frees itself afterwards.
    int WaitFor();

    bool Started() const noexcept { return StartedFlag.load(); }
    bool Finished() const noexcept { return FinishedFlag.load(); }

    // A manual-reset event signalled once the thread has finished.
    win::HANDLE Handle() const noexcept { return FinishedEvent; }

    // What escaped Execute, if anything; it has also been displayed.
    std::exception_ptr FatalException() const;

    // Runs method on the main thread while this thread waits; on the main
    // thread itself it runs directly. An exception from method is re-thrown
    // here. Raises kivo::Exception when there is no main thread to run it.
    void Synchronize(const std::function<void()>& method) const;

    std::atomic<bool> FreeOnTerminate{false};

    // Run on the main thread after the body has ended, with this thread as
    // sender. Set it before Start.
    TNotifyEvent OnTerminate;

protected:
    // The termination hook: raises OnTerminate on the main thread.
    virtual void DoTerminate();
    // The body. Anything escaping it is kept as FatalException and displayed.
    virtual void Execute() = 0;

    // Manual-reset, set by Terminate: a body waits on it beside its own
    // events so that a stop wakes it at once.
    win::HANDLE TerminateEvent() const noexcept { return TerminateSignal; }

    int ReturnValue = 0;
    // Set before Start by a thread that a THeldStarts on its starter may hold
    // back (platform/parked_threads.h); WaitFor lets it begin first.
    bool StartMayBeHeld = false;

private:
    void Run();
    void AwaitFinish();
    void Join();

    // A parked thread when one waits: a port reopened often starts four of these.
    win::TParkedThread Native;
    std::mutex JoinLock;
    win::HANDLE FinishedEvent = nullptr;
    win::HANDLE TerminateSignal = nullptr;
    std::atomic<bool> StartedFlag{false};
    std::atomic<bool> TerminatedFlag{false};
    std::atomic<bool> FinishedFlag{false};
    // Decides between a free-on-terminate thread freeing itself and an
    // owner deleting it while it still runs; the first to take it wins.
    std::atomic<bool> Claimed{false};
    std::exception_ptr Fatal;
};

// Runs call on the main thread while the calling thread waits (directly on
// the main thread). Re-throws what call raised; raises kivo::Exception when no
// main thread is set or it ended before the call could run.
void RunOnMainThread(const std::function<void()>& call);

// The display of an exception that reached the top of a thread or of the
// message loop. Empty restores the default, which writes the message to
// stderr. The application sets its general error handler here.
using TExceptionDisplay = std::function<void(std::exception_ptr)>;
void SetExceptionDisplay(TExceptionDisplay display);

// Shows error on the main thread through the display: directly there, by a
// synchronised call from any other thread (which waits for it). When no main
// thread can take it, or the display itself fails, the default writes it to
// stderr: an error is never dropped. Never throws.
void DisplayException(std::exception_ptr error) noexcept;

// The text a display shows for error: the message of a std::exception, or a
// fixed text for anything else.
std::string ExceptionMessage(std::exception_ptr error);

} // namespace kivo
