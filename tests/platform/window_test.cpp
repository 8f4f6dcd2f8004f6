// Thread queues and hidden windows: order of service, sends across threads and
// their limits, destruction, the quit request, and waits that do not spin.

#include "platform/window.h"

#include "platform/sync.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace kivo::win;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;
constexpr UINT MsgA = WM_USER + 1;
constexpr UINT MsgB = WM_USER + 2;

// A window on the calling thread that records (message, wParam, thread).
struct RecordingWindow {
    struct Call {
        UINT Message;
        WPARAM WParam;
        DWORD Thread;
    };
    RecordingWindow()
        : Handle(CreateMessageWindow([this](UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
              std::lock_guard lock(Lock);
              Calls.push_back({message, wParam, GetCurrentThreadId()});
              return static_cast<LRESULT>(wParam) * 10 + lParam;
          }))
    {
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

    std::mutex Lock;
    std::vector<Call> Calls;
    HWND Handle;
};

// A SendMessageTimeout made from a thread of its own.
struct SendFromThread {
    SendFromThread(HWND window, UINT message, WPARAM wParam, UINT milliseconds)
        : Thread([=, this] {
              auto started = Clock::now();
              Sent = SendMessageTimeout(window, message, wParam, 0, SMTO_BLOCK, milliseconds, &Result);
              Error = GetLastError();
              Waited = Clock::now() - started;
          })
    {
    }
    void Join() { Thread.join(); }

    LRESULT Sent = FALSE;
    DWORD Error = 0;
    DWORD_PTR Result = 0;
    Clock::duration Waited{};
    std::thread Thread;
};

int Drain()
{
    int served = 0;
    while (served < 10000 && ProcessOneMessage()) ++served;
    return served;
}

bool SendArrives(DWORD milliseconds)
{
    return MsgWaitForMultipleObjects(0, nullptr, milliseconds, QS_SENDMESSAGE) == WAIT_OBJECT_0;
}

bool Readable(int fd)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1;
}

class WindowQueue : public ::testing::Test {
protected:
    void TearDown() override
    {
        MSG msg;
        for (int i = 0; i < 10000 && PeekMessage(&msg, PM_REMOVE); ++i) {
        }
    }
};

} // namespace

TEST_F(WindowQueue, PostsKeepEachThreadsOrderAndDestroyDropsOnlyThatWindows)
{
    RecordingWindow window, doomed;
    auto poster = [&](UINT message) {
        for (WPARAM i = 0; i < 200; ++i) PostMessage(window.Handle, message, i, 0);
    };
    std::thread first(poster, MsgA), second(poster, MsgB);
    first.join();
    second.join();
    PostMessage(doomed.Handle, MsgA, 0, 0);
    ASSERT_TRUE(DestroyWindow(doomed.Handle));

    EXPECT_EQ(Drain(), 400);
    WPARAM next[2] = {0, 0};
    for (const auto& call : window.Taken()) {
        EXPECT_EQ(call.Thread, GetCurrentThreadId());
        EXPECT_EQ(call.WParam, next[call.Message - MsgA]++);
    }
    EXPECT_TRUE(doomed.Taken().empty());
    EXPECT_FALSE(PostMessage(doomed.Handle, MsgA, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(PostThreadMessage(0x7FFFFFFF, MsgA, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST_F(WindowQueue, WindowDestroyingItselfGetsNoMoreAndOnlyItsOwnerMayDestroyIt)
{
    int seen = 0;
    HWND self = nullptr;
    self = CreateMessageWindow([&](UINT, WPARAM, LPARAM) -> LRESULT {
        ++seen;
        return DestroyWindow(self);
    });
    BOOL destroyedElsewhere = TRUE;
    std::thread([&] { destroyedElsewhere = DestroyWindow(self); }).join();
    EXPECT_FALSE(destroyedElsewhere);

    PostMessage(self, MsgA, 0, 0);
    PostMessage(self, MsgA, 0, 0);
    EXPECT_EQ(Drain(), 1);
    EXPECT_EQ(seen, 1);
}

TEST_F(WindowQueue, SendFromAnotherThreadRunsOnTheOwnerAheadOfPostedMessages)
{
    RecordingWindow window;
    PostMessage(window.Handle, MsgA, 1, 0);
    SendFromThread send(window.Handle, MsgB, 4, 3000);
    ASSERT_TRUE(SendArrives(3000));
    EXPECT_EQ(Drain(), 2);
    send.Join();

    EXPECT_TRUE(send.Sent);
    EXPECT_EQ(send.Result, 40u);
    auto calls = window.Taken();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].Message, MsgB);
    EXPECT_EQ(calls[0].Thread, GetCurrentThreadId());
}

TEST_F(WindowQueue, SendOnTheOwnThreadIsADirectCall)
{
    RecordingWindow window;
    PostMessage(window.Handle, MsgA, 1, 0);
    DWORD_PTR result = 0;
    ASSERT_TRUE(SendMessageTimeout(window.Handle, MsgB, 5, 1, SMTO_BLOCK, 0, &result));
    EXPECT_EQ(result, 51u);
    EXPECT_EQ(window.Taken().size(), 1u);  // before any pumping
    EXPECT_EQ(SendMessage(window.Handle, MsgB, 7, 0), 70);
}

TEST_F(WindowQueue, SendNotBegunWithinTheLimitIsWithdrawn)
{
    RecordingWindow window;
    SendFromThread send(window.Handle, MsgA, 1, 150);
    send.Join();
    EXPECT_FALSE(send.Sent);
    EXPECT_EQ(send.Error, ERROR_TIMEOUT);
    EXPECT_GE(send.Waited, 150ms);
    EXPECT_LT(send.Waited, 2000ms);
    EXPECT_EQ(Drain(), 0);
    EXPECT_TRUE(window.Taken().empty());
}

TEST_F(WindowQueue, SendBegunWithinTheLimitRunsToItsEnd)
{
    HANDLE release = CreateEvent(true, false);
    bool ended = false;
    HWND slow = CreateMessageWindow([&](UINT, WPARAM, LPARAM) -> LRESULT {
        ended = WaitForSingleObject(release, 5000) == WAIT_OBJECT_0;
        return 1;
    });
    SendFromThread send(slow, MsgA, 0, 100);
    ASSERT_TRUE(SendArrives(3000));
    std::thread releaser([&] {
        send.Join();
        SetEvent(release);
    });
    EXPECT_TRUE(ProcessOneMessage());
    releaser.join();
    EXPECT_EQ(send.Error, ERROR_TIMEOUT);
    EXPECT_TRUE(ended);
    DestroyWindow(slow);
    CloseHandle(release);
}

TEST_F(WindowQueue, SendToADestroyedWindowFailsAtOnceEvenWhenAlreadyWaiting)
{
    RecordingWindow window;
    SendFromThread waiting(window.Handle, MsgA, 0, 10000);
    ASSERT_TRUE(SendArrives(3000));
    ASSERT_TRUE(DestroyWindow(window.Handle));
    waiting.Join();
    SendFromThread late(window.Handle, MsgA, 0, 10000);
    late.Join();

    for (auto* send : {&waiting, &late}) {
        EXPECT_FALSE(send->Sent);
        EXPECT_EQ(send->Error, ERROR_INVALID_WINDOW_HANDLE);
        EXPECT_LT(send->Waited, 2000ms);
    }
    EXPECT_TRUE(window.Taken().empty());
}

TEST_F(WindowQueue, EndOfTheOwnerThreadFailsPendingSendsAndEndsItsWindows)
{
    HWND orphan = nullptr;
    HANDLE created = CreateEvent(true, false);
    std::thread owner([&] {
        orphan = CreateMessageWindow([](UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
        SetEvent(created);
        SendArrives(5000);  // sees the send, never serves it, and ends
    });
    ASSERT_EQ(WaitForSingleObject(created, 3000), WAIT_OBJECT_0);
    SendFromThread send(orphan, MsgA, 0, 10000);
    owner.join();
    send.Join();
    EXPECT_EQ(send.Error, ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_LT(send.Waited, 5000ms);
    EXPECT_FALSE(IsWindow(orphan));
    CloseHandle(created);
}

TEST_F(WindowQueue, ThreadCallsRunInOrderOnTheTargetAndRethrowInTheCaller)
{
    DWORD target = GetCurrentThreadId();
    ASSERT_FALSE(SendArrives(0));  // makes this thread's queue before anyone calls onto it
    std::vector<DWORD> ranOn;
    bool rethrown = false;
    std::thread caller([&] {
        for (int i = 0; i < 3; ++i) SendThreadCall(target, [&] { ranOn.push_back(GetCurrentThreadId()); }, INFINITE);
        try {
            SendThreadCall(target, [] { throw std::invalid_argument("from the call"); }, INFINITE);
        } catch (const std::invalid_argument&) {
            rethrown = true;
        }
    });
    int served = 0;
    while (served < 4 && SendArrives(10000) && ProcessOneSentMessage()) ++served;
    caller.join();
    ASSERT_EQ(served, 4);
    EXPECT_EQ(ranOn, std::vector<DWORD>(3, target));
    EXPECT_TRUE(rethrown);

    EXPECT_THROW(SendThreadCall(target, [] { throw std::logic_error("direct"); }, 0), std::logic_error);
    EXPECT_FALSE(SendThreadCall(0x7FFFFFFF, [] {}, 1000));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST_F(WindowQueue, AnEarlyReplyLetsASenderGoOnlyFromACallThatPermitsIt)
{
    DWORD target = GetCurrentThreadId();
    ASSERT_FALSE(SendArrives(0));
    std::atomic<DWORD> sender{0};
    std::atomic<int> returned{0};
    // Bounded: without the reply the sender returns only after the call.
    auto senderReturned = [&](int count) {
        const auto until = Clock::now() + 2s;
        while (returned.load() < count && Clock::now() < until) std::this_thread::sleep_for(1ms);
        return returned.load() >= count;
    };
    bool unpermitted = true, permitted = false, seenReplied = false, goneOn = false;
    int raisedInSender = 0;
    std::thread caller([&] {
        sender = GetCurrentThreadId();
        SendThreadCall(target, [&] { unpermitted = ReplyToSender(sender) != FALSE; }, INFINITE);
        ++returned;
        try {
            SendThreadCall(target, [&] {
                PermitEarlyReply();
                permitted = ReplyToSender(sender) != FALSE;
                seenReplied = InSendMessageEx(nullptr) == (ISMEX_SEND | ISMEX_REPLIED);
                goneOn = senderReturned(2);
                throw std::logic_error("after the reply");
            }, INFINITE);
        } catch (...) {
            ++raisedInSender;
        }
        ++returned;
    });
    ASSERT_TRUE(SendArrives(10000));
    EXPECT_TRUE(ProcessOneSentMessage());
    ASSERT_TRUE(SendArrives(10000));
    EXPECT_THROW(ProcessOneSentMessage(), std::logic_error);  // stays on the serving thread
    caller.join();
    EXPECT_FALSE(unpermitted);
    EXPECT_TRUE(permitted);
    EXPECT_TRUE(seenReplied);
    EXPECT_TRUE(goneOn);
    EXPECT_EQ(raisedInSender, 0);
    EXPECT_EQ(InSendMessageEx(nullptr), ISMEX_NOSEND);
}

TEST_F(WindowQueue, WhatTheServingThreadRunsForItselfCannotLetTheSenderGo)
{
    DWORD target = GetCurrentThreadId();
    std::atomic<DWORD> sender{0};
    std::vector<bool> replied;  // by a direct send, a posted message, a self call
    auto permitAndReply = [&] {
        PermitEarlyReply();
        replied.push_back(ReplyToSender(sender) != FALSE);
    };
    HWND window = CreateMessageWindow([&](UINT, WPARAM, LPARAM) -> LRESULT {
        permitAndReply();
        return 0;
    });
    bool outerReplied = true, repliedAtLast = false;
    std::thread caller([&] {
        sender = GetCurrentThreadId();
        SendThreadCall(target, [&] {
            SendMessage(window, MsgA, 0, 0);
            PostMessage(window, MsgB, 0, 0);
            ProcessOneMessage();
            SendThreadCall(target, permitAndReply, INFINITE);
            outerReplied = ReplyToSender(sender) != FALSE;
            PermitEarlyReply();
            repliedAtLast = ReplyToSender(sender) != FALSE;
        }, INFINITE);
    });
    ASSERT_TRUE(SendArrives(10000));
    EXPECT_TRUE(ProcessOneSentMessage());
    caller.join();
    DestroyWindow(window);
    EXPECT_EQ(replied, std::vector<bool>(3, false));
    EXPECT_FALSE(outerReplied);
    EXPECT_TRUE(repliedAtLast);
}

TEST_F(WindowQueue, QuitWaitsBehindPostedMessagesAndSurvivesWaitLoops)
{
    RecordingWindow window;
    PostQuitMessage(3);
    PostMessage(window.Handle, MsgA, 1, 0);
    EXPECT_TRUE(ProcessOneMessage());
    EXPECT_FALSE(ProcessOneMessage());  // the quit request stays for the outer loop

    MSG msg;
    ASSERT_TRUE(PeekMessage(&msg, PM_REMOVE));
    ASSERT_EQ(msg.message, WM_QUIT);
    PostQuitMessage(static_cast<int>(msg.wParam));  // taken by a wait loop, posted again
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 50, QS_ALLINPUT), WAIT_TIMEOUT);
    EXPECT_FALSE(GetMessage(&msg));
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_FALSE(PeekMessage(&msg, PM_REMOVE));

    DWORD self = GetCurrentThreadId();
    std::thread poster([self] { PostThreadMessage(self, WM_QUIT, 4, 0); });
    EXPECT_FALSE(GetMessage(&msg));
    EXPECT_EQ(msg.wParam, 4u);
    poster.join();
}

TEST_F(WindowQueue, MsgWaitWakesForHandlesFirstThenForWhatTheMaskAsksFor)
{
    RecordingWindow window;
    HANDLE events[2] = {CreateEvent(false, false), CreateEvent(false, false)};
    std::thread poster([&] {
        WaitForSingleObject(events[0], 50);  // arrives while the wait is under way
        PostMessage(window.Handle, MsgA, 0, 0);
    });
    EXPECT_EQ(MsgWaitForMultipleObjects(2, events, 5000, QS_ALLINPUT), WAIT_OBJECT_0 + 2);
    poster.join();
    SetEvent(events[1]);
    EXPECT_EQ(MsgWaitForMultipleObjects(2, events, 0, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, 20, QS_SENDMESSAGE), WAIT_TIMEOUT);
    EXPECT_FALSE(ProcessOneSentMessage());
    EXPECT_TRUE(window.Taken().empty());

    std::vector<HANDLE> tooMany(MAXIMUM_WAIT_OBJECTS, events[0]);
    EXPECT_EQ(MsgWaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, tooMany.data(), 0, QS_ALLINPUT), WAIT_FAILED);
    CloseHandle(events[0]);
    CloseHandle(events[1]);
}

TEST_F(WindowQueue, IdleMsgWaitUsesNoProcessorTime)
{
    HANDLE never = CreateEvent(true, false);
    timespec before{}, after{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &never, 200, QS_ALLINPUT), WAIT_TIMEOUT);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
    double usedMs = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
    EXPECT_LT(usedMs, 10.0) << "processor time over a 200 ms idle wait";
    CloseHandle(never);
}

TEST_F(WindowQueue, WakeDescriptorIsReadableExactlyWhileSomethingWaits)
{
    RecordingWindow window;
    int fd = MessageWakeDescriptor();
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(Readable(fd));
    std::thread([&] { PostMessage(window.Handle, MsgA, 0, 0); }).join();
    EXPECT_TRUE(Readable(fd));
    EXPECT_EQ(Drain(), 1);
    EXPECT_FALSE(Readable(fd));
    PostQuitMessage(0);
    EXPECT_TRUE(Readable(fd));
    MSG msg;
    EXPECT_FALSE(GetMessage(&msg));
    EXPECT_FALSE(Readable(fd));
}

namespace {
LRESULT EchoUserData(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == MsgA) return GetWindowLongPtr(window, GWLP_USERDATA);
    return DefWindowProc(window, message, wParam, lParam);
}
} // namespace

TEST_F(WindowQueue, RegisteredClassGivesItsWindowsProcedureAndExtraBytes)
{
    WNDCLASS windowClass{};
    windowClass.lpfnWndProc = EchoUserData;
    windowClass.cbWndExtra = sizeof(LONG_PTR);
    windowClass.lpszClassName = "testEchoWindow";
    ASSERT_NE(RegisterClass(&windowClass), 0);
    windowClass.lpszClassName = "TESTECHOWINDOW";
    EXPECT_EQ(RegisterClass(&windowClass), 0);  // names ignore case

    HWND window = CreateWindow("testEchoWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandle(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    SetWindowLongPtr(window, GWLP_USERDATA, 1234);
    EXPECT_EQ(SendMessage(window, MsgA, 0, 0), 1234);
    EXPECT_EQ(SendMessage(window, WM_QUERYENDSESSION, 0, 0), 1);
    SetWindowLongPtr(window, 0, 77);
    EXPECT_EQ(GetWindowLongPtr(window, 0), 77);
    EXPECT_EQ(SetWindowLongPtr(window, 1, 5), 0);  // past the extra bytes
    EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX);
    DestroyWindow(window);
    EXPECT_EQ(CreateWindow("noSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
}

// A sanitizer's allocator stands in for operator new and must pair with it.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define KIVO_COUNTS_ALLOCATIONS 1
namespace {
// Allocations made by the calling thread, for the paths that must make none.
thread_local long ThreadAllocations = 0;
}  // namespace

void* operator new(std::size_t size)
{
    ++ThreadAllocations;
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
#endif

TEST_F(WindowQueue, RepeatedSendsAndCallsAllocateNothing)
{
#ifndef KIVO_COUNTS_ALLOCATIONS
    GTEST_SKIP() << "the sanitizer's allocator is not counted";
#else
    // A line's status notifications and packet events travel this way up to
    // a hundred thousand times a second.
    RecordingWindow window;
    DWORD target = GetCurrentThreadId();
    ASSERT_FALSE(SendArrives(0));
    std::atomic<bool> done{false};
    long allocations = -1;
    std::thread sender([&] {
        int calls = 0;
        auto round = [&] {
            DWORD_PTR result = 0;
            SendMessageTimeout(window.Handle, MsgA, 1, 0, SMTO_BLOCK, 10000, &result);
            SendThreadCall(
                target, [&calls] { ++calls; }, 10000);
        };
        round();  // the thread's queue and what stays with it
        long before = ThreadAllocations;
        for (int i = 0; i < 200; ++i)
            round();
        allocations = ThreadAllocations - before;
        done = true;
    });
    auto deadline = Clock::now() + 20s;
    while (!done && Clock::now() < deadline)
        if (SendArrives(100)) ProcessOneSentMessage();
    sender.join();
    EXPECT_EQ(allocations, 0);
#endif
}
