// The platform queue served from Qt's loop: posts and calls from other
// threads, errors, the quit request, and a loop that stays responsive.

#include "framework/qt/message_pump.h"

#include "framework/thread.h"
#include "platform/window.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace kivo;
using namespace kivo::win;

namespace {

constexpr UINT MsgWork = WM_USER + 10;
constexpr UINT MsgStop = WM_USER + 11;

class MessagePump : public ::testing::Test {
protected:
    void TearDown() override { SetExceptionDisplay({}); }

    // A nested loop until Loop.quit() or the deadline; false on the deadline.
    bool RunLoop()
    {
        bool expired = false;
        QTimer::singleShot(3000, &Loop, [&] {
            expired = true;
            Loop.quit();
        });
        Loop.exec();
        return !expired;
    }

    qt::TMessagePump Pump;
    QEventLoop Loop;
};

} // namespace

TEST_F(MessagePump, WorkFromAnotherThreadRunsOnTheMainThreadAndErrorsAreDisplayed)
{
    std::vector<std::string> seen;
    std::vector<std::string> displayed;
    SetExceptionDisplay([&](std::exception_ptr error) { displayed.push_back(ExceptionMessage(error)); });
    DWORD mainThread = GetCurrentThreadId();
    HWND window = CreateMessageWindow([&](UINT message, WPARAM, LPARAM) -> LRESULT {
        EXPECT_EQ(GetCurrentThreadId(), mainThread);
        if (message == MsgStop) Loop.quit();
        if (message == MsgWork) throw std::runtime_error("handler failed");
        seen.push_back("message");
        return 0;
    });
    std::thread worker([&] {
        SendThreadCall(mainThread, [&] { seen.push_back("call"); }, INFINITE);
        PostMessage(window, WM_USER, 0, 0);
        PostMessage(window, MsgWork, 0, 0);
        PostMessage(window, MsgStop, 0, 0);
    });
    EXPECT_TRUE(RunLoop());
    worker.join();
    EXPECT_EQ(seen, (std::vector<std::string>{"call", "message", "message"}));
    EXPECT_EQ(displayed, std::vector<std::string>{"handler failed"});
    DestroyWindow(window);
}

TEST_F(MessagePump, QuitRequestEndsTheQtLoopWithItsCode)
{
    DWORD mainThread = GetCurrentThreadId();
    std::thread worker([mainThread] { PostThreadMessage(mainThread, WM_QUIT, 5, 0); });
    QTimer deadline;  // scoped, so it cannot end a later test's loop
    QObject::connect(&deadline, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    deadline.start(3000);
    EXPECT_EQ(QCoreApplication::exec(), 5);
    worker.join();
}

TEST_F(MessagePump, AFloodOfMessagesLeavesRoomForQtEvents)
{
    constexpr int flood = 10 * qt::TMessagePump::BatchSize;
    int handled = 0;
    int handledWhenTimerRan = -1;
    HWND window = CreateMessageWindow([&](UINT, WPARAM, LPARAM) -> LRESULT {
        // Armed from inside the flood: it runs only if the pump lets Qt in.
        if (++handled == 1) QTimer::singleShot(0, [&] { handledWhenTimerRan = handled; });
        if (handled == flood) Loop.quit();
        return 0;
    });
    for (int i = 0; i < flood; ++i) PostMessage(window, MsgWork, 0, 0);
    EXPECT_TRUE(RunLoop());
    EXPECT_GE(handledWhenTimerRan, 0);
    EXPECT_LT(handledWhenTimerRan, flood);
    DestroyWindow(window);
}

TEST_F(MessagePump, SlowMessagesEndTheBatchSoonerForQtEvents)
{
    // A handler that takes milliseconds (a deferred close waiting for its
    // line, a packet event saving the prices): a batch of them in full would
    // hold Qt's timers and painting for hundreds of milliseconds.
    constexpr int flood = 2 * qt::TMessagePump::BatchSize;
    int handled = 0;
    int handledWhenTimerRan = -1;
    HWND window = CreateMessageWindow([&](UINT, WPARAM, LPARAM) -> LRESULT {
        if (++handled == 1) QTimer::singleShot(0, [&] { handledWhenTimerRan = handled; });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (handled == flood) Loop.quit();
        return 0;
    });
    for (int i = 0; i < flood; ++i)
        PostMessage(window, MsgWork, 0, 0);
    EXPECT_TRUE(RunLoop());
    EXPECT_GE(handledWhenTimerRan, 1);
    EXPECT_LT(handledWhenTimerRan, qt::TMessagePump::BatchSize / 4);
    DestroyWindow(window);
}
