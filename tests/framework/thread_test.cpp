// The framework thread: start, terminate and wait, the termination hook and
// synchronised calls on the main thread, self-freeing threads, and the
// display of exceptions that escape a body.

#include "framework/thread.h"

#include "framework/exceptions.h"
#include "platform/sync.h"
#include "platform/window.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace kivo;
using namespace kivo::win;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// Runs a function as its body. Ends the thread in its own destructor, as a
// derived class whose body uses its members must.
class FunctionThread : public TThread {
public:
    explicit FunctionThread(std::function<void(FunctionThread&)> body) : Body(std::move(body)) {}
    ~FunctionThread() override
    {
        if (Started() && !FreeOnTerminate && !Finished()) {
            Terminate();
            WaitFor();
        }
        if (Destroyed) *Destroyed = true;
    }

    using TThread::ReturnValue;
    using TThread::TerminateEvent;
    std::atomic<bool>* Destroyed = nullptr;

protected:
    void Execute() override { Body(*this); }

private:
    std::function<void(FunctionThread&)> Body;
};

// Its body touches nothing of a derived object, so the base destructor's own
// terminate-and-wait is what ends it.
std::atomic<bool> StopWaiterEnded{false};
class StopWaiter : public TThread {
protected:
    void Execute() override
    {
        WaitForSingleObject(TerminateEvent(), INFINITE);
        StopWaiterEnded = true;
    }
};

void PumpPending()
{
    for (int i = 0; i < 1000 && ProcessOneMessage(); ++i) {
    }
}

class FrameworkThread : public ::testing::Test {
protected:
    void SetUp() override { SetMainThread(); }
    void TearDown() override
    {
        SetExceptionDisplay({});
        PumpPending();
    }

    // Collects what reaches the exception display, with the thread it ran on.
    void RecordDisplays()
    {
        SetExceptionDisplay([this](std::exception_ptr error) {
            Displayed.push_back(ExceptionMessage(error));
            DisplayedOn.push_back(GetCurrentThreadId());
        });
    }

    std::vector<std::string> Displayed;
    std::vector<DWORD> DisplayedOn;
};

} // namespace

TEST_F(FrameworkThread, RunsOnlyOnceStartedAndWaitForGivesTheReturnValue)
{
    std::atomic<int> runs{0};
    DWORD ranOn = 0;
    FunctionThread thread([&](FunctionThread& self) {
        ++runs;
        ranOn = GetCurrentThreadId();
        self.ReturnValue = -161;
    });
    EXPECT_FALSE(thread.Started());
    EXPECT_THROW(thread.WaitFor(), kivo::Exception);
    EXPECT_EQ(runs, 0);

    thread.Start();
    EXPECT_EQ(thread.WaitFor(), -161);
    EXPECT_EQ(runs, 1);
    EXPECT_NE(ranOn, GetCurrentThreadId());
    EXPECT_TRUE(thread.Finished());
    EXPECT_EQ(WaitForSingleObject(thread.Handle(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(thread.WaitFor(), -161);  // again, at once
    EXPECT_THROW(thread.Start(), kivo::Exception);
}

TEST_F(FrameworkThread, TerminateWakesABodyWaitingOnTheStopEvent)
{
    FunctionThread thread([](FunctionThread& self) {
        ASSERT_EQ(WaitForSingleObject(self.TerminateEvent(), 10000), WAIT_OBJECT_0);
        EXPECT_TRUE(self.Terminated());
    });
    thread.Start();
    EXPECT_EQ(WaitForSingleObject(thread.Handle(), 50), WAIT_TIMEOUT);
    auto asked = Clock::now();
    thread.Terminate();
    thread.WaitFor();
    EXPECT_LT(Clock::now() - asked, 1000ms);
}

TEST_F(FrameworkThread, TerminatedBeforeStartSkipsTheBody)
{
    bool ran = false;
    FunctionThread thread([&](FunctionThread&) { ran = true; });
    thread.Terminate();
    thread.Start();
    thread.WaitFor();
    EXPECT_FALSE(ran);
}

TEST_F(FrameworkThread, DestroyingARunningThreadStopsAndJoinsIt)
{
    StopWaiterEnded = false;
    auto* thread = TThread::StartNew<StopWaiter>();
    EXPECT_EQ(WaitForSingleObject(thread->Handle(), 50), WAIT_TIMEOUT);
    auto asked = Clock::now();
    delete thread;
    EXPECT_TRUE(StopWaiterEnded);  // joined, not abandoned
    EXPECT_LT(Clock::now() - asked, 1000ms);
}

TEST_F(FrameworkThread, DestroyingServesTheSynchronisedCallTheThreadIsBlockedIn)
{
    std::atomic<bool> inCall{false};
    std::atomic<bool> callRan{false};
    auto* thread = new FunctionThread([&](FunctionThread& self) {
        inCall = true;
        self.Synchronize([&] { callRan = true; });
        WaitForSingleObject(self.TerminateEvent(), 10000);
    });
    thread->Start();
    ASSERT_TRUE(kivo::test::WaitUntil(3000ms, [&] { return inCall.load(); }));
    delete thread;  // would never return if the wait did not serve the call
    EXPECT_TRUE(callRan);
}

TEST_F(FrameworkThread, SynchronisedCallsRunOnTheMainThreadInOrder)
{
    std::vector<int> order;  // touched only on the main thread
    std::vector<DWORD> ranOn;
    int errorCode = 0;
    FunctionThread thread([&](FunctionThread& self) {
        for (int i = 0; i < 5; ++i)
            self.Synchronize([&, i] {
                order.push_back(i);
                ranOn.push_back(GetCurrentThreadId());
            });
        try {
            self.Synchronize([] { throw EInOutError("Device write error", 1117); });
        } catch (const EInOutError& error) {
            errorCode = error.ErrorCode;
        }
    });
    thread.Start();
    thread.WaitFor();

    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(ranOn, std::vector<DWORD>(5, GetCurrentThreadId()));
    EXPECT_EQ(errorCode, 1117);
}

TEST_F(FrameworkThread, SynchronizeOnTheMainThreadRunsDirectly)
{
    FunctionThread never([](FunctionThread&) {});
    int ran = 0;
    never.Synchronize([&] { ++ran; });
    RunOnMainThread([&] { ++ran; });
    EXPECT_EQ(ran, 2);
    EXPECT_THROW(RunOnMainThread([] { throw std::out_of_range("x"); }), std::out_of_range);
}

TEST_F(FrameworkThread, SynchronizeFailsLoudlyWhenTheMainThreadHasEnded)
{
    std::thread shortLived([] { SetMainThread(); });
    shortLived.join();
    std::string failure;
    FunctionThread thread([&](FunctionThread& self) {
        try {
            self.Synchronize([] {});
        } catch (const kivo::Exception& error) {
            failure = error.Message();
        }
    });
    thread.Start();
    thread.WaitFor();
    SetMainThread();
    EXPECT_EQ(failure, "The main thread ended before a synchronised call could run");
}

TEST_F(FrameworkThread, OnTerminateRunsOnTheMainThreadAfterTheBody)
{
    std::atomic<bool> bodyEnded{false};
    bool endedFirst = false;
    DWORD ranOn = 0;
    TObject* sender = nullptr;
    FunctionThread thread([&](FunctionThread&) { bodyEnded = true; });
    thread.OnTerminate = TNotifyEvent::FromFunction([&](TObject* from) {
        endedFirst = bodyEnded;
        ranOn = GetCurrentThreadId();
        sender = from;
    });
    thread.Start();
    thread.WaitFor();

    EXPECT_TRUE(endedFirst);
    EXPECT_EQ(ranOn, GetCurrentThreadId());
    EXPECT_EQ(sender, &thread);
}

TEST_F(FrameworkThread, FreeOnTerminateThreadFreesItselfAfterItsHook)
{
    std::atomic<bool> destroyed{false};
    HANDLE release = CreateEvent(true, false);
    bool hookRan = false;
    auto* thread = new FunctionThread([&](FunctionThread&) { WaitForSingleObject(release, 10000); });
    thread->Destroyed = &destroyed;
    thread->FreeOnTerminate = true;
    thread->OnTerminate = TNotifyEvent::FromFunction([&](TObject*) { hookRan = !destroyed; });
    thread->Start();
    EXPECT_THROW(thread->WaitFor(), kivo::Exception);  // it belongs to itself
    SetEvent(release);

    EXPECT_TRUE(kivo::test::WaitUntil(3000ms, [&] { return destroyed.load(); }, PumpPending));
    EXPECT_TRUE(hookRan);
    CloseHandle(release);
}

TEST_F(FrameworkThread, WaitingForItselfIsRefused)
{
    bool refused = false;
    FunctionThread thread([&](FunctionThread& self) {
        try {
            self.WaitFor();
        } catch (const kivo::Exception&) {
            refused = true;
        }
    });
    thread.Start();
    thread.WaitFor();
    EXPECT_TRUE(refused);
}

// ---- Exception display -------------------------------------------------------

TEST_F(FrameworkThread, ExceptionEscapingTheBodyIsKeptAndDisplayedOnTheMainThread)
{
    RecordDisplays();
    FunctionThread thread([](FunctionThread&) { throw EInOutError("Device read error", 995); });
    thread.Start();
    thread.WaitFor();

    ASSERT_EQ(Displayed, std::vector<std::string>{"Device read error"});
    EXPECT_EQ(DisplayedOn[0], GetCurrentThreadId());
    ASSERT_TRUE(thread.FatalException());
    try {
        std::rethrow_exception(thread.FatalException());
    } catch (const EInOutError& error) {
        EXPECT_EQ(error.ErrorCode, 995);
    }
}

TEST_F(FrameworkThread, ExceptionFromOnTerminateIsDisplayedToo)
{
    RecordDisplays();
    FunctionThread thread([](FunctionThread&) {});
    thread.OnTerminate = TNotifyEvent::FromFunction([](TObject*) { throw std::runtime_error("hook failed"); });
    thread.Start();
    thread.WaitFor();
    EXPECT_EQ(Displayed, std::vector<std::string>{"hook failed"});
    EXPECT_FALSE(thread.FatalException());
}

TEST_F(FrameworkThread, DisplayFromAWorkerWaitsForTheMainThread)
{
    RecordDisplays();
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        DisplayException(std::make_exception_ptr(kivo::Exception("from a worker")));
        returned = true;
    });
    ASSERT_EQ(MsgWaitForMultipleObjects(0, nullptr, 3000, QS_SENDMESSAGE), WAIT_OBJECT_0);
    EXPECT_FALSE(returned);
    EXPECT_TRUE(ProcessOneSentMessage());
    worker.join();
    EXPECT_EQ(Displayed, std::vector<std::string>{"from a worker"});
    EXPECT_EQ(DisplayedOn[0], GetCurrentThreadId());
}

TEST_F(FrameworkThread, DefaultDisplayWritesTheMessageToStandardError)
{
    ::testing::internal::CaptureStderr();
    DisplayException(std::make_exception_ptr(std::runtime_error("nobody handled this")));
    std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(written.find("nobody handled this"), std::string::npos) << written;
}

TEST_F(FrameworkThread, FailingDisplayFallsBackToStandardError)
{
    SetExceptionDisplay([](std::exception_ptr) { throw std::runtime_error("display broke"); });
    ::testing::internal::CaptureStderr();
    DisplayException(std::make_exception_ptr(std::runtime_error("original error")));
    std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(written.find("original error"), std::string::npos) << written;
    EXPECT_NE(written.find("display broke"), std::string::npos) << written;
}
