// The notification window of an open port: which messages become which
// events, in which order, when none are sent at all, and what a handler that
// raises does to later notifications.

#include "serial/dispatch/base_dispatcher.h"
#include "serial/dispatch/triggers.h"
#include "tests/port/port_rig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kivo::test {
namespace {

using win::WORD;

// Records every trigger event of a port as one line of text.
class EventRecorder {
public:
    void Attach(TKivComPort& port)
    {
        port.SetOnTrigger(TTriggerEvent::FromFunction([this](TObject*, WORD msg, WORD h, WORD d) {
            Add("Trigger " + std::to_string(msg) + " " + std::to_string(h) + " " +
                std::to_string(d));
        }));
        port.SetOnTriggerAvail(TTriggerAvailEvent::FromFunction(
            [this](TObject*, WORD count) { Add("Avail " + std::to_string(count)); }));
        port.SetOnTriggerData(TTriggerDataEvent::FromFunction(
            [this](TObject*, WORD h) { Add("Data " + std::to_string(h)); }));
        port.SetOnTriggerTimer(TTriggerTimerEvent::FromFunction(
            [this](TObject*, WORD h) { Add("Timer " + std::to_string(h)); }));
        port.SetOnTriggerStatus(TTriggerStatusEvent::FromFunction(
            [this](TObject*, WORD h) { Add("Status " + std::to_string(h)); }));
        port.SetOnTriggerLineError(TTriggerLineErrorEvent::FromFunction(
            [this](TObject*, WORD error, bool lineBreak) {
                Add("LineError " + std::to_string(error) + (lineBreak ? " break" : " nobreak"));
            }));
        port.SetOnTriggerModemStatus(
            TNotifyEvent::FromFunction([this](TObject*) { Add("ModemStatus"); }));
        port.SetOnTriggerOutbuffFree(
            TNotifyEvent::FromFunction([this](TObject*) { Add("OutbuffFree"); }));
        port.SetOnTriggerOutbuffUsed(
            TNotifyEvent::FromFunction([this](TObject*) { Add("OutbuffUsed"); }));
        port.SetOnTriggerOutSent(TNotifyEvent::FromFunction([this](TObject*) { Add("OutSent"); }));
    }

    void Add(std::string line) { Lines.push_back(std::move(line)); }

    std::vector<std::string> Lines;
};

win::LPARAM ParamFor(TKivCustomComPort& port, WORD low = 0)
{
    return (static_cast<win::LPARAM>(port.ActiveDispatcher()->RegistryIndex()) << 16) | low;
}

class NotifyWindow : public PortRig {
protected:
    NotifyWindow() : Far(Line(3)) {}

    void OpenPort(TKivComPort& port)
    {
        port.SetComNumber(3);
        port.SetOpen(true);
        ASSERT_TRUE(port.Open());
    }

    void DestroyFromAHandlerOnTheMainThread(bool closeFirst);

    PtyPair& Far;
    // Outlive the ports of a test body, whose closing may still deliver.
    EventRecorder Events;
    int Calls = 0;
    std::atomic<int> HandlerCalls{0};
};

TEST_F(NotifyWindow, ArrivalRaisesTriggerThenAvailWithTheCount)
{
    TKivComPort port(&Form);
    OpenPort(port);
    Events.Attach(port);
    Far.Write("hello");
    ASSERT_TRUE(WaitFor([&] {
        return !Events.Lines.empty() && Events.Lines.back() == "Avail 5";
    }));
    ASSERT_EQ(Events.Lines.size() % 2, 0u);
    for (std::size_t i = 0; i < Events.Lines.size(); i += 2) {
        std::string count = Events.Lines[i + 1].substr(6);
        EXPECT_EQ(Events.Lines[i], "Trigger 32257 " + count + " " + count);
    }
}

TEST_F(NotifyWindow, NoEventAssignedMeansNoWindowMessagesWhileHandlersAreServed)
{
    TRigPort port(&Form);
    OpenPort(port);
    TTriggerHandlerEvent handler = TTriggerHandlerEvent::FromFunction(
        [&](win::UINT message, win::WPARAM, win::LPARAM) {
            if (message == kvTriggerAvail) ++HandlerCalls;
        });
    port.ActiveDispatcher()->AttachEventHandler(handler);

    Far.Write("abc");
    ASSERT_TRUE(WaitFor([&] { return HandlerCalls.load() > 0; }));
    EXPECT_FALSE(HappensWithin([&] { return port.FireTriggerCount > 0; }, 200ms));

    // Assigning one event brings the messages back.
    port.SetOnTriggerAvail(TTriggerAvailEvent::FromFunction([](TObject*, WORD) {}));
    Far.Write("d");
    EXPECT_TRUE(WaitFor([&] { return port.FireTriggerCount > 0; }));
    port.ActiveDispatcher()->DetachEventHandler(handler);
}

TEST_F(NotifyWindow, UnassigningTheLastEventStopsTheMessagesAgain)
{
    TRigPort port(&Form);
    OpenPort(port);
    port.SetOnTriggerAvail(TTriggerAvailEvent::FromFunction([](TObject*, WORD) {}));
    Far.Write("a");
    ASSERT_TRUE(WaitFor([&] { return port.FireTriggerCount > 0; }));
    port.SetOnTriggerAvail(nullptr);
    int before = port.FireTriggerCount;
    Far.Write("b");
    EXPECT_FALSE(HappensWithin([&] { return port.FireTriggerCount > before; }, 200ms));
}

TEST_F(NotifyWindow, AHandlerThatRaisesIsShownAndLaterNotificationsStillArrive)
{
    TKivComPort port(&Form);
    OpenPort(port);
    port.SetOnTriggerAvail(TTriggerAvailEvent::FromFunction([&](TObject*, WORD) {
        ++Calls;
        if (Calls == 1) throw std::runtime_error("handler failed on purpose");
    }));
    Far.Write("x");
    ASSERT_TRUE(WaitFor([&] { return !Services.Boxes.empty(); }));
    EXPECT_EQ(Services.Boxes[0].Text, "handler failed on purpose");
    EXPECT_EQ(Services.Boxes[0].Kind, TMessageKind::mkError);
    EXPECT_TRUE(port.Open());
    Far.Write("y");
    EXPECT_TRUE(WaitFor([&] { return Calls >= 2; }));
    EXPECT_EQ(Services.Boxes.size(), 1u);
}

TEST_F(NotifyWindow, AHandlerClosingItsOwnPortDefersTheCloseUntilTheThreadsEnd)
{
    TKivComPort port(&Form);
    OpenPort(port);
    bool openInside = false;
    TPortPhase phaseInside = TPortPhase::ppOpen;
    port.SetOnTriggerAvail(TTriggerAvailEvent::FromFunction([&](TObject*, WORD) {
        if (!port.Open() || port.PortPhase() != TPortPhase::ppOpen) return;
        port.SetOpen(false);
        // The dispatch thread is still inside this very delivery.
        openInside = port.Open();
        phaseInside = port.PortPhase();
    }));
    Far.Write("bye");
    ASSERT_TRUE(WaitFor([&] { return !port.Open(); }, 10000ms));
    EXPECT_TRUE(openInside);
    EXPECT_EQ(phaseInside, TPortPhase::ppClosing);
    EXPECT_EQ(port.PortPhase(), TPortPhase::ppClosed);
    EXPECT_EQ(port.NotifyWindow(), nullptr);
    EXPECT_TRUE(Services.Boxes.empty());
    port.SetOpen(true);
    EXPECT_TRUE(port.Open()) << "the device was not released";
}

TEST_F(NotifyWindow, AHandlerDestroyingItsPortEndsTheNotificationThere)
{
    auto* port = new TKivComPort(&Form);
    OpenPort(*port);
    int availCalls = 0;
    std::chrono::steady_clock::duration destruction{};
    port->SetOnTrigger(TTriggerEvent::FromFunction([&](TObject*, WORD, WORD, WORD) {
        ++Calls;
        // This closure dies with the port: nothing of it is used afterwards.
        auto* took = &destruction;
        const auto start = std::chrono::steady_clock::now();
        delete std::exchange(port, nullptr);
        *took = std::chrono::steady_clock::now() - start;
    }));
    port->SetOnTriggerAvail(TTriggerAvailEvent::FromFunction([&](TObject*, WORD) { ++availCalls; }));
    Far.Write("x");
    ASSERT_TRUE(WaitFor([&] { return port == nullptr; }, 10000ms));
    Pump();
    // Neither the rest of this notification nor the close the destruction
    // makes reaches the handlers of a port that is going or gone.
    EXPECT_EQ(Calls, 1);
    EXPECT_EQ(availCalls, 0);
    // The destruction waits for the dispatch thread that waits for this
    // handler; letting that thread go is what ends it, not the send's limit.
    EXPECT_LT(destruction, 1s)
        << "the destruction took "
        << std::chrono::duration_cast<std::chrono::milliseconds>(destruction).count() << " ms";
}

// A handler run on the main thread while the dispatch thread waits for it,
// that destroys its port (closing it first, if closeFirst): the destruction
// waits for that very thread. Attached from temporaries, the handlers live
// only in the dispatcher, which is gone when the first one goes on.
void NotifyWindow::DestroyFromAHandlerOnTheMainThread(bool closeFirst)
{
    // A hang ends the test program here rather than at the suite's limit.
    struct THangLimit {
        std::mutex Lock;
        std::condition_variable Over;
        bool Done = false;
        std::thread Watch{[this] {
            std::unique_lock hold(Lock);
            if (Over.wait_for(hold, 20s, [this] { return Done; })) return;
            std::fputs("The port's destruction from its handler never returned\n", stderr);
            std::_Exit(1);
        }};
        ~THangLimit()
        {
            {
                std::lock_guard hold(Lock);
                Done = true;
            }
            Over.notify_one();
            Watch.join();
        }
    } limit;
    auto* port = new TKivComPort(&Form);
    OpenPort(*port);
    int after = 0;
    std::atomic<int> later{0};
    TKivBaseDispatcher* line = port->ActiveDispatcher();
    line->AttachEventHandler(TTriggerHandlerEvent::FromFunction(
        [&port, &after, closeFirst](win::UINT, win::WPARAM, win::LPARAM) {
            if (!port) return;
            if (closeFirst) port->SetOpen(false);
            delete std::exchange(port, nullptr);
            ++after;
        }), true);
    line->AttachEventHandler(TTriggerHandlerEvent::FromFunction(
        [&later](win::UINT, win::WPARAM, win::LPARAM) { ++later; }), true);
    Far.Write("x");
    ASSERT_TRUE(WaitFor([&] { return after == 1; }, 10000ms));
    Pump();
    EXPECT_EQ(later.load(), 0) << "the notification went on after the port was destroyed";
    EXPECT_TRUE(Services.Boxes.empty());
}

TEST_F(NotifyWindow, AHandlerOnTheMainThreadDestroyingItsPortEndsTheNotification)
{
    DestroyFromAHandlerOnTheMainThread(false);
}

TEST_F(NotifyWindow, AHandlerOnTheMainThreadClosingThenDestroyingItsPortEndsTheNotification)
{
    DestroyFromAHandlerOnTheMainThread(true);
}

TEST_F(NotifyWindow, AReopenAskedForInsideTheHandlerHappensOnceTheCloseIsDone)
{
    TRigPort port(&Form);
    OpenPort(port);
    port.SetOnTriggerAvail(TTriggerAvailEvent::FromFunction([&](TObject*, WORD) {
        if (port.DispatchersMade != 1 || port.PortPhase() != TPortPhase::ppOpen) return;
        port.SetOpen(false);
        port.SetOpen(true);
    }));
    Far.Write("again");
    ASSERT_TRUE(WaitFor([&] {
        return port.DispatchersMade == 2 && port.PortPhase() == TPortPhase::ppOpen;
    }, 10000ms));
    EXPECT_TRUE(port.Open());
    port.PutText("reopened");
    EXPECT_EQ(Far.ReadExactly(8, 3000ms), "reopened");
}

TEST_F(NotifyWindow, DataAndTimerMessagesRaiseTheirEvents)
{
    TKivComPort port(&Form);
    OpenPort(port);
    Events.Attach(port);
    win::SendMessage(port.NotifyWindow(), kvTriggerData, 16, ParamFor(port, 3));
    win::SendMessage(port.NotifyWindow(), kvTriggerTimer, 24, ParamFor(port));
    std::vector<std::string> expected{"Trigger 32258 16 3", "Data 16", "Trigger 32259 24 0",
                                      "Timer 24"};
    EXPECT_EQ(Events.Lines, expected);
}

TEST_F(NotifyWindow, AnArmedTimerTriggerRaisesTheTimerEvent)
{
    TKivComPort port(&Form);
    OpenPort(port);
    Events.Attach(port);
    int handle = port.NewTimerTrigger();
    port.ArmTimerTrigger(static_cast<WORD>(handle), 2, true);
    ASSERT_TRUE(WaitFor([&] {
        return !Events.Lines.empty() && Events.Lines.back() == "Timer " + std::to_string(handle);
    }));
    EXPECT_EQ(Events.Lines.front(), "Trigger 32259 " + std::to_string(handle) + " 0");
}

TEST_F(NotifyWindow, AMessageNamingNoDispatcherRaisesNothing)
{
    TKivComPort port(&Form);
    OpenPort(port);
    Events.Attach(port);
    win::LRESULT result =
        win::SendMessage(port.NotifyWindow(), kvTriggerData, 8, win::LPARAM{0x7FFF} << 16);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(Events.Lines.empty());
}

// ---- Status kinds ----------------------------------------------------------------

struct TStatusRow {
    int Kind;
    const char* Event;  // nullptr: only Trigger and Status
};

class StatusKinds : public NotifyWindow, public ::testing::WithParamInterface<TStatusRow> {};

TEST_P(StatusKinds, RaiseTriggerStatusThenTheKindsEvent)
{
    TKivComPort port(&Form);
    OpenPort(port);
    Events.Attach(port);
    WORD handle = static_cast<WORD>(40 + GetParam().Kind);
    win::SendMessage(port.NotifyWindow(), kvTriggerStatus, handle, ParamFor(port, 7));
    std::vector<std::string> expected{"Trigger 32260 " + std::to_string(handle) + " 7",
                                      "Status " + std::to_string(handle)};
    if (GetParam().Event) expected.emplace_back(GetParam().Event);
    EXPECT_EQ(Events.Lines, expected);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, StatusKinds,
                         ::testing::Values(TStatusRow{0, nullptr}, TStatusRow{1, "ModemStatus"},
                                           TStatusRow{2, "LineError 0 nobreak"},
                                           TStatusRow{3, "OutbuffFree"},
                                           TStatusRow{4, "OutbuffUsed"},
                                           TStatusRow{5, "OutSent"}, TStatusRow{6, nullptr},
                                           TStatusRow{7, nullptr}));

TEST_F(NotifyWindow, LineStatusCarriesTheErrorAndBreakAndClearsThemByReading)
{
    TRigPort port(&Form);
    OpenPort(port);
    Events.Attach(port);
    // Overrun and break: the overrun reads as error 2, the break separately.
    port.Rig()->InjectLineErrors(0x02 | 0x10);
    win::SendMessage(port.NotifyWindow(), kvTriggerStatus, 8 + 2, ParamFor(port));
    win::SendMessage(port.NotifyWindow(), kvTriggerStatus, 8 + 2, ParamFor(port));
    ASSERT_EQ(Events.Lines.size(), 6u);
    EXPECT_EQ(Events.Lines[2], "LineError 2 break");
    EXPECT_EQ(Events.Lines[5], "LineError 0 nobreak");
}

TEST_F(NotifyWindow, LineErrorAndBreakReadAsNothingOnAClosedPort)
{
    TRigPort port(&Form);
    port.SetAutoOpen(false);
    EXPECT_EQ(port.LastLineError(), 0);
    EXPECT_FALSE(port.BreakReceived());
    EXPECT_FALSE(port.Open()) << "reading line state must not open the port";
}

} // namespace
} // namespace kivo::test
