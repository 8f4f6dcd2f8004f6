// Delivery through the real stack over a pseudo-terminal: the events run on
// the main thread while the dispatch thread waits, and what handlers may do
// there (close the port, destroy their packet, enable a timed-out packet)
// leaves everything sound.

#include "framework/application.h"
#include "framework/component.h"
#include "platform/window.h"
#include "serial/dispatch/base_dispatcher.h"
#include "serial/packet/data_packet.h"
#include "serial/packet/packet_manager.h"
#include "serial/port/com_port.h"
#include "tests/framework/recording_services.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>

namespace kivo::test {
namespace {

using namespace std::chrono_literals;
using Texts = std::vector<std::string>;

class PacketOverPty : public ::testing::Test {
protected:
    PacketOverPty()
    {
        Line.LinkAs(Devices.Path(), "com5");
        Port->SetComNumber(5);
        Packet->SetStartString("@");
        Packet->SetEndCond({TPacketEndCond::ecString});
        Packet->SetEndString("*");
        Packet->SetComPort(Port);
        Packet->SetEnabled(true);
        Packet->OnStringPacket =
            TStringPacketNotifyEvent::FromFunction([this](TObject*, const std::string& data) {
                Got.push_back(data);
                HandlerThreads.push_back(std::this_thread::get_id());
                if (OnEach) OnEach();
            });
        Port->SetOpen(true);
    }
    ~PacketOverPty() override
    {
        while (!Form.Components().empty()) delete Form.Components().back();
        Pump();
        EXPECT_EQ(PacketManagers().Count(), 0u);
    }

    void Pump()
    {
        for (int round = 0; round < 1000; ++round) {
            bool ran = win::ProcessOneMessage() != win::FALSE;
            ran = Services.RunPosted() > 0 || ran;
            if (!ran) return;
        }
    }

    // A packet that collects from its first byte, restarted just as its
    // time-out falls due: the dispatch thread, holding the expiry, waits for
    // the lock while this thread restarts the packet with restartTimeOut.
    // The expiry belongs to the earlier collection and must not end the new one.
    void RestartAsTheTimeOutFallsDue(int restartTimeOut)
    {
        Packet->SetEnabled(false);
        Packet->SetStartCond(TPacketStartCond::scAnyData);
        Packet->SetTimeOut(2);
        int timeouts = 0;
        Packet->OnTimeout = TNotifyEvent::FromFunction([&](TObject*) { ++timeouts; });
        {
            detail::TPacketLockHold hold(Packet->Manager()->Lock());
            Packet->SetEnabled(true);
            std::this_thread::sleep_for(400ms);
            Packet->SetEnabled(false);
            Packet->SetTimeOut(restartTimeOut);
            Packet->SetEnabled(true);
        }
        EXPECT_FALSE(WaitUntil(500ms, [&] { return timeouts > 0; }, [this] { Pump(); }))
            << "the expired time-out ended the collection begun after it";
        EXPECT_TRUE(Packet->Enabled());
        Line.Write("fresh*");
        ASSERT_TRUE(WaitFor([&] { return !Got.empty(); }));
        EXPECT_EQ(Got, Texts{"fresh*"});
    }

    bool WaitFor(const std::function<bool()>& pred)
    {
        return WaitUntil(5000ms, pred, [this] { Pump(); });
    }

    TRecordingServices Services;
    TempDir Devices{"kivo-packet"};
    struct TMainThreadFirst {
        explicit TMainThreadFirst(const TempDir& devices)
        {
            win::SetMainThread();
            ::setenv("KIVO_DEVICE_DIR", devices.Path().c_str(), 1);
        }
    } MainThreadFirst{Devices};
    TApplication App{Services};
    TApplicationScope Scope{App};
    PtyPair Line;
    TComponent Form{nullptr};
    TKivComPort* Port = new TKivComPort(&Form);
    TKivDataPacket* Packet = new TKivDataPacket(&Form);
    Texts Got;
    std::vector<std::thread::id> HandlerThreads;
    std::function<void()> OnEach;
};

TEST_F(PacketOverPty, FrameInTwoWritesReachesTheHandlerOnceOnTheMainThread)
{
    ASSERT_TRUE(Port->Open());
    Line.Write("xx@ALIVE-");
    ASSERT_TRUE(WaitFor([&] { return Packet->Manager()->State().Collector == Packet; }));
    Line.Write("1234*yy");
    ASSERT_TRUE(WaitFor([&] { return !Got.empty(); }));
    EXPECT_EQ(Got, Texts{"@ALIVE-1234*"});
    EXPECT_EQ(HandlerThreads, std::vector<std::thread::id>{std::this_thread::get_id()});
    Line.Write("@second*");
    ASSERT_TRUE(WaitFor([&] { return Got.size() == 2; }));
    EXPECT_EQ(Got.back(), "@second*");
}

TEST_F(PacketOverPty, HandlerThatClosesThePortLeavesItReadyToReopen)
{
    OnEach = [this] { Port->SetOpen(false); };
    Line.Write("@first*@lost with the close*");
    ASSERT_TRUE(WaitFor([&] { return !Port->Open(); }));
    EXPECT_EQ(Got, Texts{"@first*"});
    EXPECT_FALSE(Packet->Manager()->State().Hooked);

    OnEach = nullptr;
    Port->SetOpen(true);
    EXPECT_EQ(Packet->State(), TPacketState::psWaiting);
    Line.Write("@after*");
    ASSERT_TRUE(WaitFor([&] { return Got.size() == 2; }));
    EXPECT_EQ(Got.back(), "@after*");
}

TEST_F(PacketOverPty, APacketTakingOverWhileTheCloseWaitsIsServedAfterTheReopen)
{
    // The handler closes the port, which has to wait for this very delivery,
    // and puts a new packet in place of its own: the new one comes with a
    // manager of its own, made while the port still reads Open.
    TKivDataPacket* next = nullptr;
    Texts nextGot;
    OnEach = [this, &next, &nextGot] {
        if (next) return;
        Port->SetOpen(false);
        delete std::exchange(Packet, nullptr);
        next = new TKivDataPacket(&Form);
        next->SetStartString("@");
        next->SetEndCond({TPacketEndCond::ecString});
        next->SetEndString("*");
        next->SetComPort(Port);
        next->SetEnabled(true);
        next->OnStringPacket = TStringPacketNotifyEvent::FromFunction(
            [&nextGot](TObject*, const std::string& data) { nextGot.push_back(data); });
    };
    Line.Write("@first*");
    ASSERT_TRUE(WaitFor([&] { return next && Port->PortPhase() == TPortPhase::ppClosed; }));
    Port->SetOpen(true);
    Line.Write("@after*");
    EXPECT_TRUE(WaitFor([&] { return !nextGot.empty(); }));
    EXPECT_EQ(nextGot, Texts{"@after*"});
    EXPECT_TRUE(Services.BoxTexts().empty());
}

TEST_F(PacketOverPty, HandlerThatDestroysItsPacketEndsTheDelivery)
{
    OnEach = [this] {
        delete Packet;
        Packet = nullptr;
    };
    Line.Write("@only*@never*");
    ASSERT_TRUE(WaitFor([&] { return Packet == nullptr && PacketManagers().Count() == 0; }));
    EXPECT_EQ(Got, Texts{"@only*"});
    EXPECT_TRUE(Port->Open());
    EXPECT_TRUE(Services.BoxTexts().empty());
}

TEST_F(PacketOverPty, HandlerThatDestroysItsPortEndsTheDelivery)
{
    int afterDelete = 0;
    OnEach = [this, &afterDelete] {
        delete std::exchange(Port, nullptr);
        ++afterDelete;
    };
    Line.Write("@only*@never*");
    ASSERT_TRUE(WaitFor([&] { return afterDelete == 1; }));
    Pump();
    EXPECT_EQ(Got, Texts{"@only*"});
    EXPECT_EQ(Packet->ComPort(), nullptr);
    EXPECT_EQ(Packet->Manager(), nullptr);
    EXPECT_TRUE(Services.BoxTexts().empty());
}

TEST_F(PacketOverPty, BytesStayReadableInAHandlerAfterItDestroysItsPort)
{
    std::string after;
    Packet->OnPacket = TPacketNotifyEvent::FromFunction([&](TObject*, const void* data, int size) {
        delete std::exchange(Port, nullptr);
        after.assign(static_cast<const char*>(data), static_cast<std::size_t>(size));
    });
    Line.Write("@only*");
    ASSERT_TRUE(WaitFor([&] { return Port == nullptr; }));
    Pump();
    EXPECT_EQ(after, "@only*");
    EXPECT_EQ(Got, Texts{});
}

TEST_F(PacketOverPty, HandlerThatDestroysItsPacketThenItsPortEndsTheDelivery)
{
    // The order in which their owner destroys them: the later one first.
    OnEach = [this] {
        delete std::exchange(Packet, nullptr);
        delete std::exchange(Port, nullptr);
    };
    Line.Write("@only*@never*");
    ASSERT_TRUE(WaitFor([&] { return Port == nullptr && PacketManagers().Count() == 0; }));
    EXPECT_EQ(Got, Texts{"@only*"});
    EXPECT_TRUE(Services.BoxTexts().empty());
}

TEST_F(PacketOverPty, HandlerThatDestroysItsPortThenItsPacketEndsTheDelivery)
{
    OnEach = [this] {
        delete std::exchange(Port, nullptr);
        delete std::exchange(Packet, nullptr);
    };
    Line.Write("@only*@never*");
    ASSERT_TRUE(WaitFor([&] { return Packet == nullptr; }));
    Pump();
    EXPECT_EQ(Got, Texts{"@only*"});
    EXPECT_TRUE(Services.BoxTexts().empty());
}

TEST_F(PacketOverPty, PacketSwitchedOffWhileItsEventsWaitGetsNoneAndStaysOff)
{
    Packet->OnPacket = TPacketNotifyEvent::FromFunction([this](TObject*, const void*, int) {
        Got.push_back("OnPacket");
    });
    Line.Write("@sent before*");
    // Not pumped: the dispatch thread waits for this thread to raise the events.
    ASSERT_TRUE(WaitUntil(5000ms, [&] { return Packet->Manager()->State().Busy; }));
    Packet->SetEnabled(false);
    ASSERT_TRUE(WaitFor([&] { return !Packet->Manager()->State().Busy; }));
    EXPECT_TRUE(Got.empty()) << "an event after the packet was switched off";
    EXPECT_FALSE(Packet->Enabled()) << "AutoEnable undid the request";
    Line.Write("@after*");
    EXPECT_FALSE(WaitUntil(300ms, [&] { return !Got.empty(); }, [this] { Pump(); }));
}

TEST_F(PacketOverPty, PortClosedWhileTheEventsWaitRaisesNoneAndTheReopenStartsAfresh)
{
    Line.Write("@sent before*");
    // Not pumped: the dispatch thread waits for this thread to raise the events.
    ASSERT_TRUE(WaitUntil(5000ms, [&] { return Packet->Manager()->State().Busy; }));
    Port->SetOpen(false);
    ASSERT_TRUE(WaitFor([&] { return !Port->Open(); }));
    EXPECT_TRUE(Got.empty()) << "an event after the port was closed";
    Port->SetOpen(true);
    Line.Write("@after*");
    ASSERT_TRUE(WaitFor([&] { return !Got.empty(); }));
    EXPECT_EQ(Got, Texts{"@after*"});
}

TEST_F(PacketOverPty, TimedOutPacketEnabledAgainByItsHandlerResumesMatching)
{
    Packet->SetTimeOut(2);
    int timeouts = 0;
    std::thread::id timeoutThread;
    Packet->OnTimeout = TNotifyEvent::FromFunction([&](TObject*) {
        ++timeouts;
        timeoutThread = std::this_thread::get_id();
        Packet->SetEnabled(true);
    });
    Line.Write("@stray");
    ASSERT_TRUE(WaitFor([&] { return timeouts == 1; }));
    EXPECT_EQ(timeoutThread, std::this_thread::get_id());
    ASSERT_TRUE(WaitFor([&] { return Packet->State() == TPacketState::psWaiting; }));
    EXPECT_TRUE(Packet->Enabled());
    Line.Write("@status*");
    ASSERT_TRUE(WaitFor([&] { return !Got.empty(); }));
    EXPECT_EQ(Got, Texts{"@status*"}) << "the stray bytes went with the time-out";
}

TEST_F(PacketOverPty, APacketTakingOverOnAnOpenPortGetsEveryLaterFrameOnce)
{
    // The handler puts a new packet in place of its own while the port stays
    // open: the new packet must neither read that frame again nor lose the
    // bytes that came with it.
    TKivDataPacket* next = nullptr;
    Texts nextGot;
    OnEach = [this, &next, &nextGot] {
        if (next) return;
        delete std::exchange(Packet, nullptr);
        next = new TKivDataPacket(&Form);
        next->SetStartString("@");
        next->SetEndCond({TPacketEndCond::ecString});
        next->SetEndString("*");
        next->SetComPort(Port);
        next->SetEnabled(true);
        next->OnStringPacket = TStringPacketNotifyEvent::FromFunction(
            [&nextGot](TObject*, const std::string& data) { nextGot.push_back(data); });
    };
    // The frame behind it comes in the same read: the new packet gets it.
    Line.Write("@first*@second*");
    ASSERT_TRUE(WaitFor([&] { return next != nullptr; }));
    Line.Write("@after*");
    ASSERT_TRUE(WaitFor([&] { return std::count(nextGot.begin(), nextGot.end(), "@after*") > 0; }));
    EXPECT_EQ(nextGot, (Texts{"@second*", "@after*"}))
        << "a frame of the old packet came again, or the one behind it was lost";
    EXPECT_EQ(Got, Texts{"@first*"});
}

TEST_F(PacketOverPty, PortDestroyedByItsOwnCloseLeavesNoManagerKeptForATakeOver)
{
    // The handler drops its only packet, which keeps the manager on the port
    // for a packet that may take over. Before the manager's release comes,
    // the far end hangs up and the port is closed, and a user told of the
    // close before the manager destroys the port: the manager never hears of
    // the close.
    Port->RegisterPortUser(
        TPortEventCallback::FromFunction([this](TKivCustomComPort*, TPortEventKind kind) {
            if (kind == TPortEventKind::pekClosing && Port) delete std::exchange(Port, nullptr);
        }));
    TKivDataPacketManager* manager = Packet->Manager();
    TKivBaseDispatcher* line = Port->ActiveDispatcher();
    bool found = false;
    win::HWND closer = win::CreateMessageWindow([&](win::UINT, win::WPARAM, win::LPARAM) {
        // Not pumped: the release, posted as the delivery ends, waits.
        EXPECT_TRUE(WaitUntil(5000ms, [&] { return !manager->State().Busy; }));
        Line.CloseController();
        EXPECT_TRUE(WaitUntil(5000ms, [&] { return !line->Started(); }));
        const TKivCustomComPort* gone = Port;
        Port->SetOpen(false);
        // A port made next may well be at the same address.
        found = PacketManagers().FindManager(gone) != nullptr;
        return win::LRESULT{0};
    });
    OnEach = [&] {
        delete std::exchange(Packet, nullptr);
        win::PostMessage(closer, win::WM_USER, 0, 0);
    };
    Line.Write("@only*");
    ASSERT_TRUE(WaitFor([&] { return Port == nullptr && PacketManagers().Count() == 0; }));
    win::DestroyWindow(closer);
    EXPECT_FALSE(found) << "a new port at that address would join the manager of the dead one";
    EXPECT_EQ(Got, Texts{"@only*"});
}

TEST_F(PacketOverPty, TimeOutThatFellDueBeforeARestartDoesNotEndTheNewCollection)
{
    RestartAsTheTimeOutFallsDue(200);
}

TEST_F(PacketOverPty, TimeOutThatFellDueBeforeARestartWithoutTimeOutDoesNotEndIt)
{
    // Restarted with no time-out at all, its timer is not armed again.
    RestartAsTheTimeOutFallsDue(0);
}

} // namespace
} // namespace kivo::test
