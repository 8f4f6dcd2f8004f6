// Thread queues and hidden windows: order of service, sends across threads and
// their limits, destruction, the quit request, and waits that do not spin.

#include "platform/window.h"

#include "platform/sync.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace kivo::win;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

constexpr UINT MsgA = WM_USER + 1;
constexpr UINT MsgB = WM_USER + 2;

// A window on the calling thread that records what it was given.
struct RecordingWindow {
    struct Call {
        UINT Message;
        WPARAM WParam;
        DWORD Thread;
    };

    RecordingWindow()
    {
        Handle = CreateMessageWindow([this](UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
            std::lock_guard lock(Lock);
            Calls.push_back({message, wParam, GetCurrentThreadId()});
            return static_cast<LRESULT>(wParam) * 10 + lParam;
        });
    }
    ~RecordingWindow()
    {
        if (IsWindow(Handle)) DestroyWindow(Handle);
    }

    std::vector<Call> Taken()
    {
        std::lock_guard lock(Lock);
        return Calls;
    }

    HWND Handle = nullptr;
    std::mutex Lock;
    std::vector<Call> Calls;
};

// Serves whatever is queued, a bounded number of steps.
int Drain()
{
    int served = 0;
    while (served < 10000 && ProcessOneMessage()) ++served;
    return served;
}

// True once a sent message or call is waiting for the calling thread.
bool SendArrives(DWORD milliseconds)
{
    return MsgWaitForMultipleObjects(0, nullptr, milliseconds, QS_SENDMESSAGE) == WAIT_OBJECT_0;
}

double ThreadCpuMilliseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

bool Readable(int fd)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN);
}

class WindowQueue : public ::testing::Test {
protected:
    void TearDown() override
    {
        // Leaves the test thread's queue empty for the next test.
        MSG msg;
        for (int i = 0; i < 10000 && PeekMessage(&msg, PM_REMOVE); ++i) {
        }
    }
};

} // namespace

// ---- Posting ---------------------------------------------------------------

TEST_F(WindowQueue, PostsFromSeveralThreadsKeepEachThreadsOrder)
{
    RecordingWindow window;
    constexpr int perThread = 200;
    auto poster = [&](UINT message) {
        for (int i = 0; i < perThread; ++i) ASSERT_TRUE(PostMessage(window.Handle, message, i, 0));
    };
    std::thread first(poster, MsgA);
    std::thread second(poster, MsgB);
    first.join();
    second.join();

    EXPECT_EQ(Drain(), 2 * perThread);
    WPARAM nextA = 0, nextB = 0;
    for (const auto& call : window.Taken()) {
        EXPECT_EQ(call.Thread, GetCurrentThreadId());
        WPARAM& next = call.Message == MsgA ? nextA : nextB;
        EXPECT_EQ(call.WParam, next++);
    }
    EXPECT_EQ(nextA, WPARAM{perThread});
    EXPECT_EQ(nextB, WPARAM{perThread});
}

TEST_F(WindowQueue, PostToMissingOrDestroyedWindowFails)
{
    RecordingWindow window;
    ASSERT_TRUE(DestroyWindow(window.Handle));
    SetLastError(0);
    EXPECT_FALSE(PostMessage(window.Handle, MsgA, 1, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(IsWindow(window.Handle));
    EXPECT_FALSE(PostThreadMessage(0x7FFFFFFF, MsgA, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST_F(WindowQueue, DestroyDropsPostedMessagesOfThatWindowOnly)
{
    RecordingWindow doomed, kept;
    PostMessage(doomed.Handle, MsgA, 1, 0);
    PostMessage(kept.Handle, MsgA, 2, 0);
    PostMessage(doomed.Handle, MsgA, 3, 0);
    ASSERT_TRUE(DestroyWindow(doomed.Handle));

    EXPECT_EQ(Drain(), 1);
    EXPECT_TRUE(doomed.Taken().empty());
    ASSERT_EQ(kept.Taken().size(), 1u);
    EXPECT_EQ(kept.Taken()[0].WParam, 2u);
}

TEST_F(WindowQueue, WindowDestroyingItselfDropsItsLaterMessages)
{
    int seen = 0;
    HWND self = nullptr;
    self = CreateMessageWindow([&](UINT, WPARAM, LPARAM) -> LRESULT {
        ++seen;
        EXPECT_TRUE(DestroyWindow(self));
        return 0;
    });
    PostMessage(self, MsgA, 0, 0);
    PostMessage(self, MsgA, 0, 0);
    EXPECT_EQ(Drain(), 1);
    EXPECT_EQ(seen, 1);
}

TEST_F(WindowQueue, OnlyTheOwnerMayDestroyAWindow)
{
    RecordingWindow window;
    BOOL destroyed = TRUE;
    DWORD error = 0;
    std::thread other([&] {
        destroyed = DestroyWindow(window.Handle);
        error = GetLastError();
    });
    other.join();
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(IsWindow(window.Handle));
}

// ---- Sending ---------------------------------------------------------------

TEST_F(WindowQueue, SendFromAnotherThreadRunsOnOwnerAndReturnsResult)
{
    RecordingWindow window;
    LRESULT sent = 0;
    DWORD_PTR result = 0;
    std::thread sender([&] { sent = SendMessageTimeout(window.Handle, MsgA, 4, 2, SMTO_BLOCK, 3000, &result); });
    ASSERT_TRUE(SendArrives(3000));
    EXPECT_TRUE(ProcessOneMessage());
    sender.join();

    EXPECT_TRUE(sent);
    EXPECT_EQ(result, 42u);
    ASSERT_EQ(window.Taken().size(), 1u);
    EXPECT_EQ(window.Taken()[0].Thread, GetCurrentThreadId());
}

TEST_F(WindowQueue, SentMessagesAreServedBeforePostedOnes)
{
    RecordingWindow window;
    PostMessage(window.Handle, MsgA, 1, 0);
    PostMessage(window.Handle, MsgA, 2, 0);
    std::thread sender([&] { SendMessageTimeout(window.Handle, MsgB, 3, 0, SMTO_BLOCK, 3000, nullptr); });
    ASSERT_TRUE(SendArrives(3000));
    EXPECT_EQ(Drain(), 3);
    sender.join();

    auto calls = window.Taken();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].Message, MsgB);
    EXPECT_EQ(calls[1].WParam, 1u);
    EXPECT_EQ(calls[2].WParam, 2u);
}

TEST_F(WindowQueue, SendOnOwnThreadIsADirectCallAheadOfTheQueue)
{
    RecordingWindow window;
    PostMessage(window.Handle, MsgA, 1, 0);
    DWORD_PTR result = 0;
    ASSERT_TRUE(SendMessageTimeout(window.Handle, MsgB, 5, 1, SMTO_BLOCK, 0, &result));
    EXPECT_EQ(result, 51u);
    ASSERT_EQ(window.Taken().size(), 1u);  // before any pumping
    EXPECT_EQ(window.Taken()[0].Message, MsgB);
    EXPECT_EQ(SendMessage(window.Handle, MsgB, 7, 0), 70);
    EXPECT_EQ(Drain(), 1);
}

TEST_F(WindowQueue, SendTimesOutWhenOwnerNeverPumpsAndIsWithdrawn)
{
    RecordingWindow window;
    LRESULT sent = TRUE;
    DWORD error = 0;
    auto started = Clock::now();
    std::thread sender([&] {
        sent = SendMessageTimeout(window.Handle, MsgA, 1, 0, SMTO_BLOCK, 150, nullptr);
        error = GetLastError();
    });
    sender.join();
    auto waited = Clock::now() - started;

    EXPECT_FALSE(sent);
    EXPECT_EQ(error, ERROR_TIMEOUT);
    EXPECT_GE(waited, 150ms);
    EXPECT_LT(waited, 2000ms);
    // Nobody waits for it any more, so it never runs.
    EXPECT_EQ(Drain(), 0);
    EXPECT_TRUE(window.Taken().empty());
}

TEST_F(WindowQueue, SendBegunBeforeTheLimitRunsToItsEnd)
{
    HANDLE release = CreateEvent(true, false);
    std::atomic<bool> ended{false};
    HWND slow = CreateMessageWindow([&](UINT, WPARAM, LPARAM) -> LRESULT {
        WaitForSingleObject(release, 5000);
        ended = true;
        return 1;
    });
    LRESULT sent = TRUE;
    DWORD error = 0;
    std::thread sender([&] {
        sent = SendMessageTimeout(slow, MsgA, 0, 0, SMTO_BLOCK, 100, nullptr);
        error = GetLastError();
        SetEvent(release);
    });
    ASSERT_TRUE(SendArrives(3000));
    EXPECT_TRUE(ProcessOneMessage());  // returns once the sender gave up and released it
    sender.join();

    EXPECT_FALSE(sent);
    EXPECT_EQ(error, ERROR_TIMEOUT);
    EXPECT_TRUE(ended);
    DestroyWindow(slow);
    CloseHandle(release);
}

TEST_F(WindowQueue, SendToDestroyedWindowFailsAtOnce)
{
    RecordingWindow window;
    HWND handle = window.Handle;
    ASSERT_TRUE(DestroyWindow(handle));
    auto started = Clock::now();
    SetLastError(0);
    EXPECT_FALSE(SendMessageTimeout(handle, MsgA, 0, 0, SMTO_BLOCK, 3000, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_LT(Clock::now() - started, 100ms);
}

TEST_F(WindowQueue, PendingSendFailsWhenItsWindowIsDestroyed)
{
    RecordingWindow window;
    LRESULT sent = TRUE;
    DWORD error = 0;
    Clock::duration waited{};
    std::thread sender([&] {
        auto started = Clock::now();
        sent = SendMessageTimeout(window.Handle, MsgA, 0, 0, SMTO_BLOCK, 10000, nullptr);
        error = GetLastError();
        waited = Clock::now() - started;
    });
    ASSERT_TRUE(SendArrives(3000));
    ASSERT_TRUE(DestroyWindow(window.Handle));
    sender.join();

    EXPECT_FALSE(sent);
    EXPECT_EQ(error, ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_LT(waited, 2000ms);
    EXPECT_TRUE(window.Taken().empty());
}

TEST_F(WindowQueue, EndOfOwnerThreadFailsPendingSendsAndDestroysItsWindows)
{
    HWND orphan = nullptr;
    HANDLE created = CreateEvent(true, false);
    bool sendArrived = false;
    std::thread owner([&] {
        orphan = CreateMessageWindow([](UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
        SetEvent(created);
        sendArrived = SendArrives(5000);  // sees it, never serves it, and ends
    });
    ASSERT_EQ(WaitForSingleObject(created, 3000), WAIT_OBJECT_0);

    LRESULT sent = TRUE;
    DWORD error = 0;
    Clock::duration waited{};
    std::thread sender([&] {
        auto started = Clock::now();
        sent = SendMessageTimeout(orphan, MsgA, 0, 0, SMTO_BLOCK, 10000, nullptr);
        error = GetLastError();
        waited = Clock::now() - started;
    });
    owner.join();
    sender.join();

    EXPECT_TRUE(sendArrived);
    EXPECT_FALSE(sent);
    EXPECT_EQ(error, ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_LT(waited, 5000ms);
    EXPECT_FALSE(IsWindow(orphan));
    CloseHandle(created);
}

TEST_F(WindowQueue, ProcedureThatRaisesFailsTheSenderAndRaisesInTheOwner)
{
    HWND thrower = CreateMessageWindow([](UINT, WPARAM, LPARAM) -> LRESULT { throw std::runtime_error("bad"); });
    LRESULT sent = TRUE;
    DWORD error = 0;
    std::thread sender([&] {
        sent = SendMessageTimeout(thrower, MsgA, 0, 0, SMTO_BLOCK, 3000, nullptr);
        error = GetLastError();
    });
    ASSERT_TRUE(SendArrives(3000));
    EXPECT_THROW(ProcessOneMessage(), std::runtime_error);
    sender.join();
    EXPECT_FALSE(sent);
    EXPECT_EQ(error, ERROR_UNHANDLED_EXCEPTION);
    DestroyWindow(thrower);
}

// ---- Calls onto a thread ---------------------------------------------------

TEST_F(WindowQueue, ThreadCallsRunInOrderOnTheTargetAndRethrowInTheCaller)
{
    DWORD target = GetCurrentThreadId();
    std::vector<int> order;
    std::vector<DWORD> ranOn;
    bool rethrown = false;
    std::thread caller([&] {
        for (int i = 0; i < 3; ++i)
            SendThreadCall(target, [&, i] { order.push_back(i); ranOn.push_back(GetCurrentThreadId()); }, INFINITE);
        try {
            SendThreadCall(target, [] { throw std::invalid_argument("from the call"); }, INFINITE);
        } catch (const std::invalid_argument& e) {
            rethrown = std::string(e.what()) == "from the call";
        }
    });
    for (int served = 0; served < 4; ++served) {
        ASSERT_TRUE(SendArrives(3000));
        ASSERT_TRUE(ProcessOneSentMessage());
    }
    caller.join();

    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(ranOn, (std::vector<DWORD>(3, target)));
    EXPECT_TRUE(rethrown);
}

TEST_F(WindowQueue, ThreadCallOnOwnThreadRunsDirectly)
{
    int ran = 0;
    EXPECT_TRUE(SendThreadCall(GetCurrentThreadId(), [&] { ++ran; }, 0));
    EXPECT_EQ(ran, 1);
    EXPECT_THROW(SendThreadCall(GetCurrentThreadId(), [] { throw std::logic_error("x"); }, 0), std::logic_error);
}

TEST_F(WindowQueue, ThreadCallToThreadWithoutQueueFails)
{
    SetLastError(0);
    EXPECT_FALSE(SendThreadCall(0x7FFFFFFF, [] {}, 1000));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

// ---- The quit request ------------------------------------------------------

TEST_F(WindowQueue, QuitWaitsBehindPostedMessagesAndSurvivesProcessingLoops)
{
    RecordingWindow window;
    PostQuitMessage(3);
    PostMessage(window.Handle, MsgA, 1, 0);

    // A wait loop serves the message and leaves the quit request in place.
    EXPECT_TRUE(ProcessOneMessage());
    EXPECT_FALSE(ProcessOneMessage());
    EXPECT_FALSE(ProcessOneMessage());
    ASSERT_EQ(window.Taken().size(), 1u);

    MSG msg;
    ASSERT_TRUE(PeekMessage(&msg, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_FALSE(GetMessage(&msg));
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_FALSE(PeekMessage(&msg, PM_REMOVE));
}

TEST_F(WindowQueue, QuitTakenByPeekAndPostedAgainStillEndsTheOuterLoop)
{
    PostQuitMessage(9);
    MSG msg;
    ASSERT_TRUE(PeekMessage(&msg, PM_REMOVE));
    ASSERT_EQ(msg.message, WM_QUIT);
    PostQuitMessage(static_cast<int>(msg.wParam));

    // An idle wait is not woken by it, so a waiting loop cannot spin on it.
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 50, QS_ALLINPUT), WAIT_TIMEOUT);
    EXPECT_FALSE(GetMessage(&msg));
    EXPECT_EQ(msg.wParam, 9u);
}

TEST_F(WindowQueue, QuitPostedFromAnotherThreadWakesGetMessage)
{
    DWORD self = GetCurrentThreadId();
    std::thread poster([self] { PostThreadMessage(self, WM_QUIT, 4, 0); });
    MSG msg;
    EXPECT_FALSE(GetMessage(&msg));
    EXPECT_EQ(msg.wParam, 4u);
    poster.join();
}

// ---- Waiting ---------------------------------------------------------------

TEST_F(WindowQueue, MsgWaitWakesForAMessageFromAnotherThread)
{
    RecordingWindow window;
    HANDLE never = CreateEvent(true, false);
    std::thread poster([&] {
        // Arrives while the wait is under way rather than before it.
        WaitForSingleObject(never, 50);
        PostMessage(window.Handle, MsgA, 0, 0);
    });
    auto started = Clock::now();
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &never, 5000, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
    EXPECT_LT(Clock::now() - started, 3000ms);
    poster.join();
    EXPECT_EQ(Drain(), 1);
    CloseHandle(never);
}

TEST_F(WindowQueue, MsgWaitReportsTheSignalledHandleAheadOfMessages)
{
    HANDLE events[2] = {CreateEvent(false, false), CreateEvent(false, false)};
    std::thread setter([&] { SetEvent(events[1]); });
    EXPECT_EQ(MsgWaitForMultipleObjects(2, events, 5000, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
    setter.join();

    PostMessage(nullptr, MsgA, 0, 0);
    SetEvent(events[0]);
    EXPECT_EQ(MsgWaitForMultipleObjects(2, events, 0, QS_ALLINPUT), WAIT_OBJECT_0);
    EXPECT_EQ(MsgWaitForMultipleObjects(2, events, 0, QS_ALLINPUT), WAIT_OBJECT_0 + 2);
    CloseHandle(events[0]);
    CloseHandle(events[1]);
}

TEST_F(WindowQueue, MsgWaitForSentMessagesIgnoresPostedOnes)
{
    RecordingWindow window;
    PostMessage(window.Handle, MsgA, 0, 0);
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 30, QS_SENDMESSAGE), WAIT_TIMEOUT);
    EXPECT_FALSE(ProcessOneSentMessage());
    EXPECT_TRUE(window.Taken().empty());
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 0, QS_ALLINPUT), WAIT_OBJECT_0);
}

TEST_F(WindowQueue, IdleMsgWaitUsesNoProcessorTime)
{
    HANDLE never = CreateEvent(true, false);
    double before = ThreadCpuMilliseconds();
    auto started = Clock::now();
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &never, 200, QS_ALLINPUT), WAIT_TIMEOUT);
    double used = ThreadCpuMilliseconds() - before;
    EXPECT_GE(Clock::now() - started, 200ms);
    EXPECT_LT(used, 10.0) << "processor time over a 200 ms idle wait";
    CloseHandle(never);
}

TEST_F(WindowQueue, MsgWaitRefusesTooManyHandles)
{
    std::vector<HANDLE> handles(MAXIMUM_WAIT_OBJECTS, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, handles.data(), 0, QS_ALLINPUT), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(WindowQueue, WakeDescriptorIsReadableExactlyWhileSomethingWaits)
{
    RecordingWindow window;
    int fd = MessageWakeDescriptor();
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(Readable(fd));

    std::thread poster([&] { PostMessage(window.Handle, MsgA, 0, 0); });
    poster.join();
    EXPECT_TRUE(Readable(fd));
    EXPECT_EQ(Drain(), 1);
    EXPECT_FALSE(Readable(fd));

    PostQuitMessage(0);
    EXPECT_TRUE(Readable(fd));
    MSG msg;
    EXPECT_FALSE(GetMessage(&msg));
    EXPECT_FALSE(Readable(fd));
    EXPECT_EQ(MessageWakeDescriptor(), fd);
}

// ---- Classes and window data ------------------------------------------------

namespace {

LRESULT EchoUserData(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == MsgA) return GetWindowLongPtr(window, GWLP_USERDATA);
    return DefWindowProc(window, message, wParam, lParam);
}

} // namespace

TEST_F(WindowQueue, RegisteredClassGivesWindowsItsProcedureAndExtraBytes)
{
    WNDCLASS windowClass{};
    windowClass.lpfnWndProc = EchoUserData;
    windowClass.cbWndExtra = sizeof(LONG_PTR);
    windowClass.lpszClassName = "testEchoWindow";
    ASSERT_NE(RegisterClass(&windowClass), 0);
    windowClass.lpszClassName = "TESTECHOWINDOW";
    EXPECT_EQ(RegisterClass(&windowClass), 0);
    EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);

    HWND window = CreateWindow("testEchoWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandle(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    SetWindowLongPtr(window, GWLP_USERDATA, 1234);
    EXPECT_EQ(SendMessage(window, MsgA, 0, 0), 1234);
    EXPECT_EQ(SendMessage(window, WM_QUERYENDSESSION, 0, 0), 1);
    EXPECT_EQ(SendMessage(window, MsgB, 0, 0), 0);

    EXPECT_EQ(SetWindowLongPtr(window, 0, 77), 0);
    EXPECT_EQ(GetWindowLongPtr(window, 0), 77);
    EXPECT_EQ(SetWindowLongPtr(window, 1, 5), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX);
    EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), GetCurrentThreadId());
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_FALSE(DestroyWindow(window));

    EXPECT_EQ(CreateWindow("noSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);
}

TEST(ThreadIdentity, MainThreadIsTheOneThatSetIt)
{
    SetMainThread();
    EXPECT_TRUE(IsMainThread());
    EXPECT_EQ(GetMainThreadId(), GetCurrentThreadId());
    bool otherIsMain = true;
    DWORD otherId = 0;
    std::thread other([&] {
        otherIsMain = IsMainThread();
        otherId = GetCurrentThreadId();
    });
    other.join();
    EXPECT_FALSE(otherIsMain);
    EXPECT_NE(otherId, 0u);
    EXPECT_NE(otherId, GetCurrentThreadId());
}
