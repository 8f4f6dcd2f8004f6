// The framework thread's life, synchronised calls onto the main thread and
// the display of exceptions that reached the top.

#include "framework/thread.h"

#include "framework/exceptions.h"
#include "platform/sync.h"
#include "platform/window.h"

#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace kivo {

using namespace kivo::win;

namespace {

thread_local TThread* RunningThread = nullptr;

std::mutex DisplayLock;
TExceptionDisplay& InstalledDisplay()
{
    static TExceptionDisplay display;
    return display;
}

TExceptionDisplay CurrentDisplay()
{
    std::lock_guard lock(DisplayLock);
    return InstalledDisplay();
}

void WriteToStderr(std::exception_ptr error) noexcept
{
    try {
        std::fprintf(stderr, "Unhandled exception: %s\n", ExceptionMessage(error).c_str());
    } catch (...) {
        std::fputs("Unhandled exception\n", stderr);
    }
}

HANDLE NewEvent()
{
    HANDLE event = CreateEvent(true, false);
    if (!event) throw EOutOfMemory();
    return event;
}

} // namespace

TThread::TThread() : FinishedEvent(NewEvent())
{
    try {
        TerminateSignal = NewEvent();
    } catch (...) {
        CloseHandle(FinishedEvent);
        throw;
    }
}

TThread::~TThread()
{
    if (RunningThread != this && StartedFlag.load()) {
        if (Claimed.exchange(true) && FreeOnTerminate.load()) {
            // It is freeing itself this very moment; a second delete cannot be undone.
            std::fputs("A thread that frees itself was deleted by another thread\n", stderr);
            std::abort();
        }
        Terminate();
        AwaitFinish();
        Join();
    }
    CloseHandle(FinishedEvent);
    CloseHandle(TerminateSignal);
}

void TThread::Start()
{
    std::lock_guard lock(JoinLock);
    if (StartedFlag.exchange(true)) throw Exception("Thread already started");
    try {
        Native = TParkedThread([this] { Run(); }, nullptr,
                               StartMayBeHeld ? TParkedThread::TStart::MayBeHeld
                                              : TParkedThread::TStart::AtOnce);
    } catch (const std::system_error& error) {
        StartedFlag = false;
        throw Exception(std::string("Cannot create thread: ") + error.what());
    }
}

void TThread::Terminate()
{
    TerminatedFlag = true;
    SetEvent(TerminateSignal);
}

int TThread::WaitFor()
{
    if (!StartedFlag.load()) throw Exception("Cannot wait for a thread that was never started");
    if (FreeOnTerminate.load()) throw Exception("Cannot wait for a thread that frees itself");
    if (RunningThread == this) throw Exception("A thread cannot wait for itself");
    // The waiter owns it from here: a FreeOnTerminate set meanwhile no longer frees it.
    Claimed = true;
    AwaitFinish();
    Join();
    return ReturnValue;
}

std::exception_ptr TThread::FatalException() const
{
    // Written before the finished flag; unsafe to read any earlier.
    return Finished() ? Fatal : nullptr;
}

void TThread::Synchronize(const std::function<void()>& method) const
{
    RunOnMainThread(method);
}

void TThread::DoTerminate()
{
    if (OnTerminate.Assigned()) Synchronize([this] { OnTerminate(this); });
}

void TThread::Run()
{
    RunningThread = this;
    try {
        if (!Terminated()) Execute();
    } catch (...) {
        Fatal = std::current_exception();
    }
    if (Fatal) DisplayException(Fatal);
    try {
        DoTerminate();
    } catch (...) {
        DisplayException(std::current_exception());
    }

    bool freeSelf = FreeOnTerminate.load() && !Claimed.exchange(true);
    FinishedFlag = true;
    SetEvent(FinishedEvent);
    if (freeSelf) {
        {
            std::lock_guard lock(JoinLock);
            Native.detach();
        }
        delete this;
    }
    // The thread may run another job next, which must not pass for this one.
    RunningThread = nullptr;
}

void TThread::AwaitFinish()
{
    LetHeldStartsBegin();
    for (;;) {
        DWORD result = MsgWaitForMultipleObjects(1, &FinishedEvent, INFINITE, QS_SENDMESSAGE);
        if (result == WAIT_OBJECT_0) return;
        if (result != WAIT_OBJECT_0 + 1) {
            WaitForSingleObject(FinishedEvent, INFINITE);
            return;
        }
        try {
            ProcessOneSentMessage();
        } catch (...) {
            // A sent message whose procedure raised: shown, and the wait goes on.
            DisplayException(std::current_exception());
        }
    }
}

void TThread::Join()
{
    std::lock_guard lock(JoinLock);
    if (Native.joinable()) Native.join();
}

void RunOnMainThread(const std::function<void()>& call)
{
    DWORD mainThread = GetMainThreadId();
    if (mainThread == 0) throw Exception("No main thread is set to run a synchronised call");
    if (!SendThreadCall(mainThread, call, INFINITE))
        throw Exception("The main thread ended before a synchronised call could run");
}

void SetExceptionDisplay(TExceptionDisplay display)
{
    std::lock_guard lock(DisplayLock);
    InstalledDisplay() = std::move(display);
}

void DisplayException(std::exception_ptr error) noexcept
{
    if (!error) return;
    auto show = [error]() noexcept {
        try {
            TExceptionDisplay display = CurrentDisplay();
            if (display) {
                display(error);
                return;
            }
        } catch (...) {
            WriteToStderr(std::current_exception());
        }
        WriteToStderr(error);
    };
    try {
        if (IsMainThread()) {
            show();
            return;
        }
        DWORD mainThread = GetMainThreadId();
        if (mainThread != 0 && SendThreadCall(mainThread, show, INFINITE)) return;
    } catch (...) {
        // Only the hand-over itself can fail here (no memory); fall through.
    }
    WriteToStderr(error);
}

std::string ExceptionMessage(std::exception_ptr error)
{
    if (!error) return {};
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

} // namespace kivo
