// The platform queue served from Qt's loop: posts and synchronised calls from
// other threads, the quit request, errors, and a loop that stays responsive.

#include "framework/qt/message_pump.h"

#include "framework/thread.h"
#include "platform/window.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
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

    // Runs a nested loop until stop() or the deadline; false on the deadline.
    bool RunLoop(int deadlineMs = 3000)
    {
        bool expired = false;
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, [&] {
            expired = true;
            Loop.quit();
        });
        deadline.start(deadlineMs);
        Loop.exec();
        return !expired;
    }

    qt::TMessagePump Pump;
    QEventLoop Loop;
};

class FunctionThread : public TThread {
public:
    explicit FunctionThread(std::function<void(FunctionThread&)> body) : Body(std::move(body)) {}
    ~FunctionThread() override
    {
        if (Started() && !Finished()) WaitFor();
    }

protected:
    void Execute() override { Body(*this); }

private:
    std::function<void(FunctionThread&)> Body;
};

} // namespace

TEST_F(MessagePump, MessagePostedByAWorkerIsDispatchedOnTheMainThread)
{
    std::vector<WPARAM> seen;
    std::vector<DWORD> seenOn;
    HWND window = CreateMessageWindow([&](UINT message, WPARAM wParam, LPARAM) -> LRESULT {
        seen.push_back(wParam);
        seenOn.push_back(GetCurrentThreadId());
        if (message == MsgStop) Loop.quit();
        return 0;
    });
    std::thread worker([window] {
        PostMessage(window, MsgWork, 1, 0);
        PostMessage(window, MsgStop, 2, 0);
    });
    EXPECT_TRUE(RunLoop());
    worker.join();
    EXPECT_EQ(seen, (std::vector<WPARAM>{1, 2}));
    EXPECT_EQ(seenOn, std::vector<DWORD>(2, GetCurrentThreadId()));
    DestroyWindow(window);
}

TEST_F(MessagePump, SynchronisedCallsAndTerminationHookRunFromTheLoop)
{
    std::vector<int> order;
    FunctionThread thread([&](FunctionThread& self) {
        self.Synchronize([&] { order.push_back(1); });
        self.Synchronize([&] { order.push_back(2); });
    });
    thread.OnTerminate = TNotifyEvent::FromFunction([&](TObject*) {
        order.push_back(3);
        Loop.quit();
    });
    thread.Start();
    EXPECT_TRUE(RunLoop());
    thread.WaitFor();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(MessagePump, QuitRequestEndsTheQtLoopWithItsCode)
{
    DWORD mainThread = GetCurrentThreadId();
    std::thread worker([mainThread] { PostThreadMessage(mainThread, WM_QUIT, 5, 0); });
    QTimer::singleShot(3000, [] { QCoreApplication::exit(-1); });
    EXPECT_EQ(QCoreApplication::exec(), 5);
    worker.join();
}

TEST_F(MessagePump, ErrorOfADispatchedMessageIsDisplayedAndTheLoopGoesOn)
{
    std::vector<std::string> displayed;
    SetExceptionDisplay([&](std::exception_ptr error) { displayed.push_back(ExceptionMessage(error)); });
    HWND window = CreateMessageWindow([&](UINT message, WPARAM, LPARAM) -> LRESULT {
        if (message == MsgWork) throw std::runtime_error("handler failed");
        Loop.quit();
        return 0;
    });
    PostMessage(window, MsgWork, 0, 0);
    PostMessage(window, MsgStop, 0, 0);
    EXPECT_TRUE(RunLoop());
    EXPECT_EQ(displayed, std::vector<std::string>{"handler failed"});
    DestroyWindow(window);
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
    EXPECT_EQ(handled, flood);
    EXPECT_GE(handledWhenTimerRan, 0);
    EXPECT_LT(handledWhenTimerRan, flood);
    DestroyWindow(window);
}
