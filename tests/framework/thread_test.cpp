// The framework thread: start, terminate and wait, the termination hook and
// synchronised calls on the main thread, self-freeing threads, and the
// display of exceptions that escape a body.

#include "framework/thread.h"

#include "framework/exceptions.h"
#include "platform/parked_threads.h"
#include "platform/sync.h"
#include "platform/window.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace kivo;
using namespace kivo::win;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// Runs a function as its body, and ends the thread in its own destructor as a
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
    using TThread::StartMayBeHeld;
    using TThread::TerminateEvent;
    std::atomic<bool>* Destroyed = nullptr;

protected:
    void Execute() override { Body(*this); }

private:
    std::function<void(FunctionThread&)> Body;
};

// Frees itself, as the line threads do, and counts the objects alive.
class SelfFreeingThread : public FunctionThread {
public:
    SelfFreeingThread(std::function<void(FunctionThread&)> body, std::atomic<int>& alive)
        : FunctionThread(std::move(body)), Alive(alive)
    {
        FreeOnTerminate = true;
        ++Alive;
    }
    ~SelfFreeingThread() override { --Alive; }

private:
    std::atomic<int>& Alive;
};

// Touches nothing of a derived object, so the base destructor's own
// terminate-and-wait is what ends it.
std::atomic<bool> StopWaiterWaiting{false};
std::atomic<bool> StopWaiterEnded{false};
class StopWaiter : public TThread {
protected:
    void Execute() override
    {
        StopWaiterWaiting = true;
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
    void SetUp() override
    {
        SetMainThread();
        SetExceptionDisplay([this](std::exception_ptr error) {
            Displayed.push_back(ExceptionMessage(error));
            DisplayedOn.push_back(GetCurrentThreadId());
        });
    }
    void TearDown() override
    {
        SetExceptionDisplay({});
        PumpPending();
    }

    std::vector<std::string> Displayed;
    std::vector<DWORD> DisplayedOn;
};

} // namespace

TEST_F(FrameworkThread, RunsOnceStartedAndWaitForGivesTheReturnValue)
{
    std::atomic<int> runs{0};
    bool selfWaitRefused = false;
    FunctionThread thread([&](FunctionThread& self) {
        ++runs;
        self.ReturnValue = -161;
        try {
            self.WaitFor();
        } catch (const kivo::Exception&) {
            selfWaitRefused = true;
        }
    });
    EXPECT_THROW(thread.WaitFor(), kivo::Exception);  // never started
    EXPECT_EQ(runs, 0);
    thread.Start();
    EXPECT_EQ(thread.WaitFor(), -161);
    EXPECT_EQ(thread.WaitFor(), -161);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(selfWaitRefused);
    EXPECT_EQ(WaitForSingleObject(thread.Handle(), 0), WAIT_OBJECT_0);
    EXPECT_THROW(thread.Start(), kivo::Exception);

    bool ran = false;
    FunctionThread early([&](FunctionThread&) { ran = true; });
    early.Terminate();
    early.Start();
    early.WaitFor();
    EXPECT_FALSE(ran);  // terminated before it started
}

TEST_F(FrameworkThread, OnlyAThreadThatAsksIsHeldBackAndWaitingForItLetsItGo)
{
    THeldStarts held;
    FunctionThread plain([](FunctionThread& self) { self.ReturnValue = 5; });
    plain.Start();
    // A wait on its handle alone would never end for a held thread.
    EXPECT_EQ(WaitForSingleObject(plain.Handle(), 5000), WAIT_OBJECT_0);
    FunctionThread line([](FunctionThread& self) { self.ReturnValue = 7; });
    line.StartMayBeHeld = true;
    line.Start();
    EXPECT_EQ(line.WaitFor(), 7);
}

TEST_F(FrameworkThread, DestroyingARunningThreadStopsAndJoinsIt)
{
    StopWaiterWaiting = false;
    StopWaiterEnded = false;
    auto* thread = TThread::StartNew<StopWaiter>();
    // A thread terminated before its body begins never runs Execute: under
    // load the start alone can take longer than any fixed pause.
    for (int i = 0; i < 5000 && !StopWaiterWaiting; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(StopWaiterWaiting);
    EXPECT_EQ(WaitForSingleObject(thread->Handle(), 50), WAIT_TIMEOUT);
    auto asked = Clock::now();
    delete thread;
    EXPECT_TRUE(StopWaiterEnded);  // joined, not abandoned
    EXPECT_LT(Clock::now() - asked, 1000ms);
}

TEST_F(FrameworkThread, DestroyingServesTheSynchronisedCallTheThreadIsBlockedIn)
{
    std::atomic<bool> calling{false};
    bool callRan = false;
    auto* thread = new FunctionThread([&](FunctionThread& self) {
        calling = true;
        self.Synchronize([&] { callRan = true; });
        WaitForSingleObject(self.TerminateEvent(), 10000);
    });
    thread->Start();
    ASSERT_TRUE(kivo::test::WaitUntil(3000ms, [&] { return calling.load(); }));
    delete thread;  // would never return if its wait did not serve the call
    EXPECT_TRUE(callRan);
}

TEST_F(FrameworkThread, SynchronisedCallsRunOnTheMainThreadInOrderAndRethrow)
{
    std::vector<int> order;
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
    thread.Synchronize([&] { order.push_back(-1); });  // on the main thread: direct
    thread.Start();
    thread.WaitFor();
    EXPECT_EQ(order, (std::vector<int>{-1, 0, 1, 2, 3, 4}));
    EXPECT_EQ(ranOn, std::vector<DWORD>(5, GetCurrentThreadId()));
    EXPECT_EQ(errorCode, 1117);
}

TEST_F(FrameworkThread, SynchronizeFailsLoudlyWhenTheMainThreadHasEnded)
{
    std::thread([] { SetMainThread(); }).join();
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
    bool hookRanFirst = false;
    auto* thread = new FunctionThread([&](FunctionThread&) { WaitForSingleObject(release, 10000); });
    thread->Destroyed = &destroyed;
    thread->FreeOnTerminate = true;
    thread->OnTerminate = TNotifyEvent::FromFunction([&](TObject*) { hookRanFirst = !destroyed; });
    thread->Start();
    EXPECT_THROW(thread->WaitFor(), kivo::Exception);  // it belongs to itself
    SetEvent(release);
    EXPECT_TRUE(kivo::test::WaitUntil(3000ms, [&] { return destroyed.load(); }, PumpPending));
    EXPECT_TRUE(hookRanFirst);
    CloseHandle(release);
}

TEST_F(FrameworkThread, AFreeOnTerminateThreadThatCannotBeMadeIsFreedByStartNew)
{
    std::atomic<int> alive{0};
    HANDLE release = CreateEvent(true, false);
    // No stack this large can be mapped: every start that is not given a
    // parked thread fails to make one.
    pthread_attr_t saved;
    pthread_attr_t huge;
    ASSERT_EQ(pthread_getattr_default_np(&saved), 0);
    pthread_attr_init(&huge);
    ASSERT_EQ(pthread_attr_setstacksize(&huge, std::size_t{1} << 50), 0);
    ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
    bool refused = false;
    // The parked threads are taken first; the start after them must make one.
    for (std::size_t i = 0; i <= TParkedThread::ParkedLimit + 1 && !refused; ++i) {
        try {
            TThread::StartNew<SelfFreeingThread>(
                [&](FunctionThread&) { WaitForSingleObject(release, 10000); }, alive);
        } catch (const kivo::Exception&) {
            refused = true;
        }
    }
    pthread_setattr_default_np(&saved);
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&saved);
    SetEvent(release);

    EXPECT_TRUE(refused);
    EXPECT_TRUE(kivo::test::WaitUntil(3000ms, [&] { return alive.load() == 0; }, PumpPending))
        << alive.load() << " thread objects never freed";
    CloseHandle(release);
}

TEST_F(FrameworkThread, ExceptionsEscapingBodyOrHookAreKeptAndDisplayedOnTheMainThread)
{
    FunctionThread thread([](FunctionThread&) { throw EInOutError("Device read error", 995); });
    thread.OnTerminate = TNotifyEvent::FromFunction([](TObject*) { throw std::runtime_error("hook failed"); });
    thread.Start();
    thread.WaitFor();

    EXPECT_EQ(Displayed, (std::vector<std::string>{"Device read error", "hook failed"}));
    EXPECT_EQ(DisplayedOn, std::vector<DWORD>(2, GetCurrentThreadId()));
    try {
        std::rethrow_exception(thread.FatalException());
    } catch (const EInOutError& error) {
        EXPECT_EQ(error.ErrorCode, 995);
    }
}

TEST_F(FrameworkThread, WithoutOrWithAFailingDisplayTheErrorGoesToStandardError)
{
    SetExceptionDisplay({});
    ::testing::internal::CaptureStderr();
    DisplayException(std::make_exception_ptr(std::runtime_error("nobody handled this")));
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("nobody handled this"), std::string::npos);

    SetExceptionDisplay([](std::exception_ptr) { throw std::runtime_error("display broke"); });
    ::testing::internal::CaptureStderr();
    DisplayException(std::make_exception_ptr(std::runtime_error("original error")));
    std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(written.find("original error"), std::string::npos) << written;
    EXPECT_NE(written.find("display broke"), std::string::npos) << written;
}

TEST_F(FrameworkThread, AThreadOnAParkedThreadIsNotTakenForTheOneThatRanThereBefore)
{
    long firstTid = 0;
    auto* first = new FunctionThread([&](FunctionThread&) { firstTid = ::syscall(SYS_gettid); });
    first->Start();
    first->WaitFor();
    ASSERT_TRUE(kivo::test::WaitUntil(2s, [] { return TParkedThread::ParkedCount() >= 1; }));

    long jobTid = 0;
    int result = -1;
    std::string failure;
    TParkedThread job([&] {
        jobTid = ::syscall(SYS_gettid);
        // Freed and made again on the thread the first one ran on: the
        // allocator tends to hand the same memory back.
        delete first;
        auto* second = new FunctionThread([](FunctionThread& self) { self.ReturnValue = 7; });
        try {
            second->Start();
            result = second->WaitFor();
        } catch (const std::exception& error) {
            failure = error.what();
        }
        delete second;
    });
    job.join();
    ASSERT_EQ(jobTid, firstTid) << "the job did not run on the parked thread";
    EXPECT_EQ(failure, "");
    EXPECT_EQ(result, 7);
}
