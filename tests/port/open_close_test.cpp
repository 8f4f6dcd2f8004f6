// Opening and closing the port component: failures and their classes, the
// prompt, output, the deferred close, reopening on another number, loading,
// port users, copying and finding.

#include "serial/dispatch/base_dispatcher.h"
#include "serial/errors/error_codes.h"
#include "serial/errors/exceptions.h"
#include "tests/port/port_rig.h"

#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kivo::test {
namespace {

using enum TPortPhase;

template <typename TException>
int CodeOfOpen(TKivComPort& port)
{
    try {
        port.SetOpen(true);
    } catch (const TException& error) {
        return error.ErrorCode;
    }
    ADD_FAILURE() << "no exception of the expected class";
    return 0;
}

// ---- Failing opens ------------------------------------------------------------

class OpenFailure : public PortRig {};

TEST_F(OpenFailure, NoNumberAndPromptingOffRaisesNoPortSelected)
{
    TKivComPort port(&Form);
    port.SetPromptForPort(false);
    bool asked = false;
    App.SetPortPrompt([&] {
        asked = true;
        return std::optional<int>(3);
    });
    EXPECT_EQ(CodeOfOpen<ENoPortSelected>(port), ecNoPortSelected);
    EXPECT_FALSE(asked);
    EXPECT_FALSE(port.Open());
    EXPECT_THROW(port.ActiveDispatcher(), ENoPortSelected) << "AutoOpen must fail as loudly";
}

TEST_F(OpenFailure, CancelledPromptRaisesNoPortSelected)
{
    TKivComPort port(&Form);
    port.SetAutoOpen(false);
    int asked = 0;
    App.SetPortPrompt([&] {
        ++asked;
        return std::optional<int>();
    });
    EXPECT_EQ(CodeOfOpen<ENoPortSelected>(port), ecNoPortSelected);
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.ComNumber(), 0);
    EXPECT_EQ(port.ActiveDispatcher(), nullptr);
}

TEST_F(OpenFailure, PortHeldElsewhereRaisesAlreadyOpenAndLeavesNoDispatcher)
{
    Line(3);
    TKivComPort holder(&Form);
    holder.SetComNumber(3);
    holder.SetOpen(true);
    ASSERT_TRUE(holder.Open());

    TKivComPort port(&Form);
    port.SetComNumber(3);
    port.SetAutoOpen(false);
    EXPECT_EQ(CodeOfOpen<EAlreadyOpen>(port), ecAlreadyOpen);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.PortPhase(), ppClosed);
    EXPECT_EQ(port.ActiveDispatcher(), nullptr);
    EXPECT_EQ(port.NotifyWindow(), nullptr);
}

TEST_F(OpenFailure, MissingPortRaisesBadIdAndLeavesNoDispatcher)
{
    TKivComPort port(&Form);
    port.SetComNumber(9);
    port.SetAutoOpen(false);
    EXPECT_EQ(CodeOfOpen<EBadId>(port), ecBadId);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.ActiveDispatcher(), nullptr);
}

TEST_F(OpenFailure, ASettingTheLineRefusesAtTheOpenUndoesItAndEndsItsThreads)
{
    Line(3);
    TKivComPort port(&Form);
    port.SetComNumber(3);
    port.SetAutoOpen(false);
    // Once opened, so that the next opening's threads are parked ones.
    port.SetOpen(true);
    port.SetOpen(false);
    // Software flow with one character for both: refused only once the
    // dispatcher's threads have been started.
    port.SetSWFlowOptions(TSWFlowOptions::swfBoth);
    port.SetXOnChar('Q');
    port.SetXOffChar('Q');
    EXPECT_THROW(port.SetOpen(true), EInOutError);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.PortPhase(), ppClosed);
    EXPECT_EQ(port.ActiveDispatcher(), nullptr);
}

TEST_F(OpenFailure, OtherDeviceLayersAndTelephonyAreRefusedClearly)
{
    Line(3);
    TKivComPort port(&Form);
    port.SetComNumber(3);
    port.SetDeviceLayer(TDeviceLayer::dlWinsock);
    EXPECT_EQ(port.DeviceLayer(), TDeviceLayer::dlWin32);
    port.SetTapiMode(TTapiMode::tmOn);
    EXPECT_EQ(CodeOfOpen<ENotOpenedByTapi>(port), ecNotOpenedByTapi);
    EXPECT_FALSE(port.Open());
    port.SetTapiMode(TTapiMode::tmAuto);
    port.SetOpen(true);
    EXPECT_TRUE(port.Open());
}

// ---- Opening -------------------------------------------------------------------

class Opening : public PortRig {};

TEST_F(Opening, PromptOkOpensTheChosenPort)
{
    PtyPair& com4 = Line(4);
    TKivComPort port(&Form);
    App.SetPortPrompt([] { return std::optional<int>(4); });
    port.SetOpen(true);
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.ComNumber(), 4);
    port.PutText("via four");
    EXPECT_EQ(com4.ReadExactly(8, 3000ms), "via four");
}

TEST_F(Opening, OpeningTwiceOpensOnceAndClosingAClosedPortDoesNothing)
{
    Line(3);
    TRigPort port(&Form);
    port.SetComNumber(3);
    port.SetOpen(false);
    EXPECT_EQ(port.DispatchersMade, 0);
    port.SetOpen(true);
    TKivBaseDispatcher* first = port.ActiveDispatcher();
    port.SetOpen(true);
    EXPECT_EQ(port.DispatchersMade, 1);
    EXPECT_EQ(port.ActiveDispatcher(), first);
    port.SetOpen(false);
    port.SetOpen(false);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.PortPhase(), ppClosed);
}

// A port that runs a request of the test's while its device opens, as a
// device that serves messages meanwhile would.
class TReentrantPort : public TRigPort {
public:
    using TRigPort::TRigPort;

    int InitializeDevice() override
    {
        if (WhileOpening) std::exchange(WhileOpening, nullptr)();
        return TRigPort::InitializeDevice();
    }

    std::function<void()> WhileOpening;
};

// Hooks the dispatcher at the first open and uses it again at the close, as
// the packet manager does.
struct THookingUser {
    void PortEvent(TKivCustomComPort* port, TPortEventKind kind)
    {
        if (kind == TPortEventKind::pekOpen) {
            ++Opens;
            if (!Hooked) Hooked = port->ActiveDispatcher();
        }
        if (kind == TPortEventKind::pekClosing && Hooked) {
            HookedIndex = Hooked->RegistryIndex();
            HookedAtClose = Hooked == port->ActiveDispatcher();
        }
    }
    TKivBaseDispatcher* Hooked = nullptr;
    int HookedIndex = -1;
    bool HookedAtClose = false;
    int Opens = 0;
};

// An open asked for while one is under way is ignored: one prompt, one
// dispatcher, and the one the user hooked is still the port's at the close.
void ExpectTheReentrantOpenIgnored(TRigPort& port, THookingUser& user, PtyPair& com3)
{
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.DispatchersMade, 1);
    EXPECT_EQ(user.Opens, 1);
    port.PutText("once");
    EXPECT_EQ(com3.ReadExactly(4, 3000ms), "once");
    port.SetOpen(false);
    EXPECT_TRUE(user.HookedAtClose) << "the dispatcher the user hooked was replaced";
    EXPECT_GE(user.HookedIndex, 0);
}

TEST_F(Opening, AnOpenAskedForUnderThePromptIsIgnored)
{
    PtyPair& com3 = Line(3);
    TRigPort port(&Form);
    THookingUser user;
    port.RegisterPortUser(TPortEventCallback::Of<&THookingUser::PortEvent>(&user));
    int prompts = 0;
    App.SetPortPrompt([&] {
        if (++prompts == 1) {
            // A timer tick in the prompt's loop.
            port.SetOpen(true);
            EXPECT_FALSE(port.Open());
            EXPECT_THROW(port.PutText("early"), ECommNotOpen);
        }
        return std::optional<int>(3);
    });
    port.SetOpen(true);
    EXPECT_EQ(prompts, 1);
    ExpectTheReentrantOpenIgnored(port, user, com3);
}

TEST_F(Opening, AnOpenAskedForWhileTheDeviceOpensIsIgnored)
{
    PtyPair& com3 = Line(3);
    TReentrantPort port(&Form);
    port.SetComNumber(3);
    THookingUser user;
    port.RegisterPortUser(TPortEventCallback::Of<&THookingUser::PortEvent>(&user));
    port.WhileOpening = [&] {
        port.SetOpen(true);
        EXPECT_EQ(port.ActiveDispatcher(), nullptr) << "a dispatcher still opening was handed out";
        EXPECT_THROW(port.PutText("early"), ECommNotOpen);
    };
    port.SetOpen(true);
    ExpectTheReentrantOpenIgnored(port, user, com3);
}

// ---- Output ----------------------------------------------------------------------

class Output : public PortRig {};

TEST_F(Output, PutTextOnAClosedPortOpensItWhenAutoOpen)
{
    PtyPair& com3 = Line(3);
    TKivComPort port(&Form);
    port.SetComNumber(3);
    port.PutText("@12345678*");
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(com3.ReadExactly(10, 3000ms), "@12345678*");
}

TEST_F(Output, PutTextWithoutAutoOpenRaisesCommNotOpen)
{
    PtyPair& com3 = Line(3);
    TKivComPort port(&Form);
    port.SetComNumber(3);
    port.SetAutoOpen(false);
    try {
        port.PutText("x");
        FAIL() << "PutText on a closed port went through";
    } catch (const ECommNotOpen& error) {
        EXPECT_EQ(error.ErrorCode, ecCommNotOpen);
    }
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(com3.ReadAvailable(100ms), "");
}

TEST_F(Output, TextLongerThanTheOutputRoomRaisesAndQueuesNothing)
{
    PtyPair& com3 = Line(3);
    TKivComPort port(&Form);
    port.SetComNumber(3);
    port.SetOutSize(16);
    port.SetOpen(true);
    try {
        port.PutText(std::string(17, 'x'));
        FAIL() << "an oversized text was accepted";
    } catch (const EOutputBufferTooSmall& error) {
        EXPECT_EQ(error.ErrorCode, ecOutputBufferTooSmall);
    }
    port.PutText("exactly-16-bytes");
    EXPECT_EQ(com3.ReadExactly(16, 3000ms), "exactly-16-bytes");
    EXPECT_EQ(com3.ReadAvailable(100ms), "") << "part of the refused text went out";
}

// ---- The deferred close -------------------------------------------------------------

class DeferredClose : public PortRig {
protected:
    DeferredClose()
    {
        Line(3);
        Port = new TRigPort(&Form);
        Port->SetComNumber(3);
        Port->SetOnTrigger(TTriggerEvent::FromFunction(
            [this](TObject*, win::WORD msg, win::WORD, win::WORD) { Messages.push_back(msg); }));
        Port->SetOpen(true);
        Port->Rig()->LingerOnClose = true;
        Port->OnPortClose = TNotifyEvent::FromFunction([this](TObject*) { ++CloseEvents; });
    }

    ~DeferredClose() override
    {
        // Before the records its handlers write to.
        delete Port;
    }

    int ClosingMessages() const
    {
        int count = 0;
        for (win::WORD msg : Messages) count += msg == kvPortClosing;
        return count;
    }

    TRigPort* Port = nullptr;
    std::vector<win::WORD> Messages;
    int CloseEvents = 0;
};

TEST_F(DeferredClose, FinishesOnlyAfterTheThreadsStopWithOpenStillTrue)
{
    Port->SetOpen(false);
    EXPECT_EQ(CloseEvents, 1) << "users hear of the close when it is deferred too";
    EXPECT_TRUE(Port->Open());
    EXPECT_EQ(Port->PortPhase(), ppClosing);
    ASSERT_TRUE(WaitFor([&] { return ClosingMessages() >= 3; }));
    EXPECT_TRUE(Port->Open());
    EXPECT_NE(Port->NotifyWindow(), nullptr);

    Port->Rig()->EndLinger();
    ASSERT_TRUE(WaitFor([&] { return !Port->Open(); }));
    EXPECT_EQ(Port->PortPhase(), ppClosed);
    EXPECT_EQ(Port->NotifyWindow(), nullptr);
}

TEST_F(DeferredClose, AnOnTriggerHandlerRaisingAtTheCloseMessageIsShownAndTheCloseStillEnds)
{
    bool raised = false;
    Port->SetOnTrigger(TTriggerEvent::FromFunction(
        [&raised](TObject*, win::WORD msg, win::WORD, win::WORD) {
            if (msg != kvPortClosing || raised) return;
            raised = true;
            throw std::runtime_error("handler failed");
        }));
    Port->SetOpen(false);
    Port->SetOpen(true);
    Port->Rig()->EndLinger();
    ASSERT_TRUE(WaitFor([&] { return raised && Port->DispatchersMade == 2 && Port->Open(); }))
        << "the close never finished";
    EXPECT_EQ(Port->PortPhase(), ppOpen);
    EXPECT_EQ(Services.Boxes.size(), 1u);
}

TEST_F(DeferredClose, OutputAndTimerOperationsDoNothingMeanwhile)
{
    Port->SetOpen(false);
    ASSERT_EQ(Port->PortPhase(), ppClosing);
    EXPECT_NO_THROW(Port->PutText("lost on purpose"));
    EXPECT_EQ(Port->NewTimerTrigger(), 0);
    EXPECT_NO_THROW(Port->ArmTimerTrigger(8, 1, true));
    EXPECT_NO_THROW(Port->InitTrace(100));
    EXPECT_EQ(Port->Tracing(), TTraceLogState::tlOff);
    Port->Rig()->EndLinger();
    ASSERT_TRUE(WaitFor([&] { return !Port->Open(); }));
}

TEST_F(DeferredClose, AnOpenRequestMeanwhileReopensAfterwards)
{
    Port->SetOpen(false);
    Port->SetOpen(true);
    Port->Rig()->EndLinger();
    ASSERT_TRUE(WaitFor([&] { return Port->DispatchersMade == 2 && Port->Open(); }));
    EXPECT_EQ(Port->PortPhase(), ppOpen);
}

TEST_F(DeferredClose, TextPutWhileAReopenWaitsGoesOutOnceReopened)
{
    // The program's transmission: close, open, PutText, while a delivery
    // still holds the close back.
    Port->SetOpen(false);
    Port->SetOpen(true);
    ASSERT_TRUE(Port->Open());
    Port->PutText("@held*");
    Port->Rig()->EndLinger();
    ASSERT_TRUE(WaitFor([&] { return Port->DispatchersMade == 2 && Port->Open(); }));
    EXPECT_EQ(Lines.front()->ReadExactly(6, 3000ms), "@held*");
}

TEST_F(DeferredClose, TextHeldForAReopenThatIsCancelledIsNotSentLater)
{
    Port->SetOpen(false);
    Port->SetOpen(true);
    Port->PutText("@held*");
    Port->SetOpen(false);
    Port->Rig()->EndLinger();
    ASSERT_TRUE(WaitFor([&] { return !Port->Open(); }));
    Port->SetOpen(true);
    Port->PutText("@new*");
    EXPECT_EQ(Lines.front()->ReadExactly(5, 3000ms), "@new*");
}

// The program's close-and-reopen before each frame, twice while one
// delivery holds the close back: both frames go out, in their order.
TEST_F(DeferredClose, TextHeldAcrossASecondCloseAndReopenKeepsItsPlace)
{
    Port->SetOpen(false);
    Port->SetOpen(true);
    Port->PutText("@one*");
    Port->SetOpen(false);
    Port->SetOpen(true);
    Port->PutText("@two*");
    Port->Rig()->EndLinger();
    ASSERT_TRUE(WaitFor([&] { return Port->DispatchersMade == 2 && Port->Open(); }));
    EXPECT_EQ(Lines.front()->ReadExactly(10, 3000ms), "@one*@two*");
}

// A user that asks for a reopen at the closing notice and takes it back;
// the close then finishes at once. What it put meanwhile must not go out
// with the next reopen, long after.
TEST_F(DeferredClose, TextHeldForAReopenTakenBackInAnImmediateCloseIsNotSentLater)
{
    Port->Rig()->LingerOnClose = false;
    // Outlives the test body: the user hears the fixture's close as well.
    auto asked = std::make_shared<bool>(false);
    Port->RegisterPortUser(TPortEventCallback::FromFunction(
        [asked](TKivCustomComPort* port, TPortEventKind kind) {
            if (kind != TPortEventKind::pekClosing || std::exchange(*asked, true)) return;
            port->SetOpen(true);
            port->PutText("@stale*");
            port->SetOpen(false);
        }));
    Port->SetOpen(false);
    ASSERT_EQ(Port->PortPhase(), ppClosed);
    Port->LingerNextClose = true;
    Port->SetOpen(true);
    Port->SetOpen(false);
    ASSERT_EQ(Port->PortPhase(), ppClosing);
    Port->SetOpen(true);
    Port->PutText("@new*");
    Port->Rig()->EndLinger();
    ASSERT_TRUE(WaitFor([&] { return Port->DispatchersMade == 3 && Port->Open(); }));
    EXPECT_EQ(Lines.front()->ReadExactly(5, 3000ms), "@new*");
}

// Nobody who asked for the reopen is there when it fails: the port's
// failure event hears of it, and nothing held goes out at a later opening.
TEST_F(DeferredClose, AReopenThatFailsIsReportedThroughItsEventAndDropsTheHeldText)
{
    std::vector<std::pair<int, bool>> failures;
    Port->OnReopenFailure = TReopenFailureEvent::FromFunction(
        [&](TObject* sender, std::exception_ptr error, bool opened) {
            EXPECT_EQ(sender, Port);
            try {
                std::rethrow_exception(error);
            } catch (const EBadId& badId) {
                failures.emplace_back(badId.ErrorCode, opened);
            } catch (...) {
                ADD_FAILURE() << "not the opening's own failure";
            }
        });
    Port->SetOpen(false);
    Port->SetOpen(true);
    Port->PutText("@held*");
    Port->SetComNumber(9);  // no such port
    Port->Rig()->EndLinger();
    ASSERT_TRUE(WaitFor([&] { return !failures.empty(); }));
    EXPECT_EQ(failures, (std::vector<std::pair<int, bool>>{{ecBadId, false}}));
    EXPECT_FALSE(Port->Open());
    EXPECT_EQ(Port->PortPhase(), ppClosed);
    Pump();
    EXPECT_TRUE(Services.Boxes.empty()) << "left to the general error handler as well";

    Port->SetComNumber(3);
    Port->SetOpen(true);
    Port->PutText("@new*");
    EXPECT_EQ(Lines.front()->ReadExactly(5, 3000ms), "@new*");
}

TEST_F(DeferredClose, ACloseRequestAfterAnOpenRequestCancelsTheReopen)
{
    Port->SetOpen(false);
    Port->SetOpen(true);
    Port->SetOpen(false);
    Port->Rig()->EndLinger();
    ASSERT_TRUE(WaitFor([&] { return !Port->Open(); }));
    EXPECT_FALSE(HappensWithin([&] { return Port->DispatchersMade > 1; }, 100ms));
}

TEST_F(DeferredClose, DestroyingThePortMeanwhileFinishesTheClose)
{
    Port->SetOpen(false);
    ASSERT_EQ(Port->PortPhase(), ppClosing);
    win::HWND window = Port->NotifyWindow();
    delete Port;
    Port = nullptr;
    EXPECT_FALSE(win::IsWindow(window));
    // The circulating message must find nothing to call.
    Pump();
    EXPECT_TRUE(Services.Boxes.empty());
}

TEST_F(DeferredClose, APortDestroyedByAMessageItsCloseServesIsNotTouchedAgain)
{
    // Each way of closing; waiting ahead of the close's own message, the
    // first message the close serves destroys the port.
    const std::vector<std::pair<const char*, std::function<void(TRigPort&)>>> closes{
        {"Open False", [](TRigPort& port) { port.SetOpen(false); }},
        {"another number", [](TRigPort& port) { port.SetComNumber(4); }},
    };
    for (const auto& [how, close] : closes) {
        SCOPED_TRACE(how);
        if (!Port) {
            Port = new TRigPort(&Form);
            Port->SetComNumber(3);
            Port->SetOpen(true);
            Port->Rig()->LingerOnClose = true;
        }
        TRigPort* doomed = Port;
        win::HWND killer = win::CreateMessageWindow([this](win::UINT, win::WPARAM, win::LPARAM) {
            delete std::exchange(Port, nullptr);
            return win::LRESULT{0};
        });
        ASSERT_TRUE(win::PostMessage(killer, win::WM_USER, 0, 0));
        close(*doomed);
        EXPECT_EQ(Port, nullptr);
        win::DestroyWindow(killer);
        Pump();
        EXPECT_TRUE(Services.Boxes.empty());
        // The line was released: another port can have it.
        TKivComPort other(&Form);
        other.SetComNumber(3);
        other.PutText("free");
        EXPECT_EQ(Lines.front()->ReadExactly(4, 3000ms), "free");
    }
}

// ---- Changing the number while open ---------------------------------------------------

class NumberChange : public PortRig {};

TEST_F(NumberChange, ReopensOnTheNewNumberKeepingTriggersAndTracing)
{
    PtyPair& com3 = Line(3);
    PtyPair& com5 = Line(5);
    TRigPort port(&Form);
    port.SetComNumber(3);
    port.SetTraceName((Devices / "first.trc").string());
    port.SetTracing(TTraceLogState::tlOn);
    port.SetOpen(true);
    int timer = port.NewTimerTrigger();
    ASSERT_GT(timer, 0);
    port.PutText("old");
    EXPECT_EQ(com3.ReadExactly(3, 3000ms), "old");

    port.SetComNumber(5);
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(port.DispatchersMade, 2);
    EXPECT_EQ(port.Tracing(), TTraceLogState::tlOn);
    EXPECT_NE(Devices.Read("first.trc").find("old"), std::string::npos)
        << "the first trace was not written at the close";
    // The timer trigger made on COM3 exists on the new dispatcher.
    EXPECT_NO_THROW(port.ArmTimerTrigger(static_cast<win::WORD>(timer), 1000, true));
    EXPECT_THROW(port.ArmTimerTrigger(static_cast<win::WORD>(timer + 800), 1, true),
                 EBadTriggerHandle);
    port.PutText("new");
    EXPECT_EQ(com5.ReadExactly(3, 3000ms), "new");
    EXPECT_EQ(com3.ReadAvailable(100ms), "");
}

// ---- Loading ----------------------------------------------------------------------------

class Loading : public PortRig {};

TEST_F(Loading, OpenStoredDuringLoadingOpensAtTheEnd)
{
    PtyPair& com3 = Line(3);
    TKivComPort port(&Form);
    port.BeginLoading();
    port.SetComNumber(3);
    port.SetOpen(true);
    EXPECT_EQ(port.PortPhase(), ppClosed);
    port.EndLoading();
    EXPECT_TRUE(port.Open());
    port.PutText("loaded");
    EXPECT_EQ(com3.ReadExactly(6, 3000ms), "loaded");

    // The last value stored during loading is the one that counts.
    port.SetOpen(false);
    TKivComPort closed(&Form);
    closed.BeginLoading();
    closed.SetComNumber(3);
    closed.SetOpen(true);
    closed.SetOpen(false);
    closed.EndLoading();
    EXPECT_EQ(closed.PortPhase(), ppClosed);
    EXPECT_FALSE(closed.Open());
    Pump();
    EXPECT_TRUE(Services.Boxes.empty());
}

TEST_F(Loading, AFailedOpenAtTheEndIsShownAndLoadingGoesOn)
{
    TKivComPort port(&Form);
    port.BeginLoading();
    port.SetComNumber(9);
    port.SetOpen(true);
    EXPECT_NO_THROW(port.EndLoading());
    EXPECT_FALSE(port.Open());
    Pump();
    ASSERT_EQ(Services.Boxes.size(), 1u);
    EXPECT_EQ(Services.Boxes[0].Kind, TMessageKind::mkError);
}

// ---- Port users ---------------------------------------------------------------------------

struct TRecordingUser {
    void PortEvent(TKivCustomComPort* port, TPortEventKind kind)
    {
        Log->push_back(Name + ":" + std::to_string(static_cast<int>(kind)) +
                       (port->Open() ? ":open" : ":closed"));
    }
    std::string Name;
    std::vector<std::string>* Log;
};

class PortUsers : public PortRig {};

TEST_F(PortUsers, HearOpenClosingAndClosedLastFirstThenTheEvents)
{
    Line(3);
    std::vector<std::string> log;
    TRecordingUser first{"first", &log};
    TRecordingUser second{"second", &log};
    TKivComPort port(&Form);
    port.SetComNumber(3);
    port.RegisterPortUser(TPortEventCallback::Of<&TRecordingUser::PortEvent>(&first));
    port.RegisterPortUser(TPortEventCallback::Of<&TRecordingUser::PortEvent>(&second));
    port.OnPortOpen = TNotifyEvent::FromFunction([&](TObject*) { log.push_back("OnPortOpen"); });
    port.OnPortClose = TNotifyEvent::FromFunction([&](TObject*) { log.push_back("OnPortClose"); });

    port.SetOpen(true);
    port.SetOpen(false);
    std::vector<std::string> expected{
        "second:0:open", "first:0:open", "OnPortOpen",   "second:1:open",
        "first:1:open",  "second:2:closed", "first:2:closed", "OnPortClose"};
    EXPECT_EQ(log, expected);
}

TEST_F(PortUsers, DeregisterRemovesEveryEntryWithTheSameOperation)
{
    Line(3);
    std::vector<std::string> log;
    TRecordingUser first{"first", &log};
    TRecordingUser second{"second", &log};
    TKivComPort port(&Form);
    port.SetComNumber(3);
    port.RegisterPortUser(TPortEventCallback::Of<&TRecordingUser::PortEvent>(&first));
    port.RegisterPortUser(TPortEventCallback::Of<&TRecordingUser::PortEvent>(&second));
    port.DeregisterPortUser(TPortEventCallback::Of<&TRecordingUser::PortEvent>(&first));
    EXPECT_EQ(port.PortUserCount(), 0u);
    port.SetOpen(true);
    EXPECT_TRUE(log.empty());
}

TEST_F(PortUsers, AUserThatLeavesDuringANotificationIsNotCalledAgain)
{
    Line(3);
    TKivComPort port(&Form);
    port.SetComNumber(3);
    std::vector<std::string> log;
    TRecordingUser stays{"stays", &log};
    // Registered last, so told first: it removes the other before its turn.
    struct TLeaver {
        void PortEvent(TKivCustomComPort* p, TPortEventKind)
        {
            p->DeregisterPortUser(TPortEventCallback::Of<&TRecordingUser::PortEvent>(Other));
            ++Calls;
        }
        TRecordingUser* Other;
        int Calls = 0;
    } leaver{&stays};
    port.RegisterPortUser(TPortEventCallback::Of<&TRecordingUser::PortEvent>(&stays));
    port.RegisterPortUser(TPortEventCallback::Of<&TLeaver::PortEvent>(&leaver));
    port.SetOpen(true);
    EXPECT_EQ(leaver.Calls, 1);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(port.PortUserCount(), 1u);
}

TEST_F(PortUsers, AUserRaisingAtOpenUndoesTheOpenAndHearsTheClose)
{
    PtyPair& com3 = Line(3);
    std::vector<TPortEventKind> kinds;
    bool raise = false;
    TKivComPort port(&Form);
    port.SetComNumber(3);
    // A first opening leaves a trigger in the set saved at its close.
    port.SetOpen(true);
    const int timer = port.NewTimerTrigger();
    ASSERT_GT(timer, 0);
    port.SetOpen(false);
    port.RegisterPortUser(TPortEventCallback::FromFunction(
        [&](TKivCustomComPort*, TPortEventKind kind) {
            kinds.push_back(kind);
            if (raise && kind == TPortEventKind::pekOpen) throw EInternal::CreateFromCode(ecInternal);
        }));
    raise = true;
    EXPECT_THROW(port.SetOpen(true), EInternal);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.PortPhase(), ppClosed);
    EXPECT_EQ(port.NotifyWindow(), nullptr);
    std::vector<TPortEventKind> expected{TPortEventKind::pekOpen, TPortEventKind::pekClosing,
                                         TPortEventKind::pekClosed};
    EXPECT_EQ(kinds, expected);
    // The device was released: another port can have it.
    {
        TKivComPort other(&Form);
        other.SetComNumber(3);
        other.PutText("free");
        EXPECT_EQ(com3.ReadExactly(4, 3000ms), "free");
    }
    // The next opening still gets the saved triggers.
    raise = false;
    port.SetOpen(true);
    EXPECT_NO_THROW(port.ArmTimerTrigger(static_cast<win::WORD>(timer), 1000, true));
}

TEST_F(PortUsers, AnOpenRequestWhileClosingReopensAfterTheCloseIsAnnounced)
{
    PtyPair& com3 = Line(3);
    std::vector<TPortEventKind> kinds;  // outlives the port, which closes at its end
    TKivComPort port(&Form);
    port.SetComNumber(3);
    port.RegisterPortUser(TPortEventCallback::FromFunction(
        [&](TKivCustomComPort* p, TPortEventKind kind) {
            kinds.push_back(kind);
            if (kind == TPortEventKind::pekClosing && kinds.size() == 2) p->SetOpen(true);
        }));
    port.SetOpen(true);
    port.SetOpen(false);
    std::vector<TPortEventKind> expected{TPortEventKind::pekOpen, TPortEventKind::pekClosing,
                                         TPortEventKind::pekClosed, TPortEventKind::pekOpen};
    EXPECT_EQ(kinds, expected);
    ASSERT_TRUE(port.Open());
    port.PutText("again");
    EXPECT_EQ(com3.ReadExactly(5, 3000ms), "again");
}

TEST_F(PortUsers, AUserOrEventThatDestroysThePortEndsTheOpenOrCloseThere)
{
    PtyPair& com3 = Line(3);
    enum class TAt { UserOpen, UserClosing, UserClosed, PortOpen, PortClose };
    for (TAt at : {TAt::UserOpen, TAt::UserClosing, TAt::UserClosed, TAt::PortOpen,
                   TAt::PortClose}) {
        SCOPED_TRACE(static_cast<int>(at));
        auto* port = new TKivComPort(&Form);
        port->SetComNumber(3);
        int later = 0;
        auto destroyAt = [&](TAt here) {
            if (at == here && port) delete std::exchange(port, nullptr);
        };
        // Registered first, so told last: it must not hear of a port that has gone.
        port->RegisterPortUser(TPortEventCallback::FromFunction(
            [&](TKivCustomComPort*, TPortEventKind) { ++later; }));
        port->RegisterPortUser(TPortEventCallback::FromFunction(
            [&](TKivCustomComPort*, TPortEventKind kind) {
                destroyAt(kind == TPortEventKind::pekOpen      ? TAt::UserOpen
                          : kind == TPortEventKind::pekClosing ? TAt::UserClosing
                                                               : TAt::UserClosed);
            }));
        port->OnPortOpen = TNotifyEvent::FromFunction([&](TObject*) { destroyAt(TAt::PortOpen); });
        port->OnPortClose = TNotifyEvent::FromFunction([&](TObject*) { destroyAt(TAt::PortClose); });
        port->SetOpen(true);
        if (port) port->SetOpen(false);
        EXPECT_EQ(port, nullptr);
        // The destruction closed the device: another port can have it.
        TKivComPort other(&Form);
        other.SetComNumber(3);
        other.PutText("free");
        EXPECT_EQ(com3.ReadExactly(4, 3000ms), "free");
    }
}

// ---- Copying and finding --------------------------------------------------------------------

class CopyAndFind : public PortRig {};

TEST_F(CopyAndFind, CopyTakesSettingsUsersAndTriggersButNotTheOpenState)
{
    Line(3);
    TKivComPort source(&Form);
    source.SetComNumber(3);
    source.SetBaud(9600);
    source.SetParity(TParity::pEven);
    source.SetTraceName("copied.trc");
    source.SetCommNotificationLevel(4);
    int calls = 0;
    source.RegisterPortUser(
        TPortEventCallback::FromFunction([&](TKivCustomComPort*, TPortEventKind) { ++calls; }));
    source.SetOpen(true);
    int timer = source.NewTimerTrigger();
    calls = 0;

    TKivComPort copy(&Form);
    copy.SetAutoOpen(false);
    copy.CopyFrom(&source);
    EXPECT_EQ(copy.ComNumber(), 3);
    EXPECT_EQ(copy.Baud(), 9600);
    EXPECT_EQ(copy.Parity(), TParity::pEven);
    EXPECT_EQ(copy.TraceName(), "copied.trc");
    EXPECT_EQ(copy.CommNotificationLevel(), 10) << "not one of the copied settings";
    EXPECT_TRUE(copy.AutoOpen()) << "AutoOpen is copied from the source";
    EXPECT_FALSE(copy.Open());
    EXPECT_EQ(copy.PortUserCount(), 1u);

    source.SetOpen(false);
    calls = 0;
    copy.SetOpen(true);
    EXPECT_GT(calls, 0) << "the copied user was not told";
    EXPECT_NO_THROW(copy.ArmTimerTrigger(static_cast<win::WORD>(timer), 10, true));
}

// A copied user is the user's registration with the source, no more: once
// that ends, by the user leaving or the source going, the copy is not called.
TEST_F(CopyAndFind, ACopiedUserEndsWithItsRegistrationOnTheSource)
{
    Line(4);
    struct TLeavingUser {
        explicit TLeavingUser(TKivCustomComPort* port) : Port(port)
        {
            Port->RegisterPortUser(TPortEventCallback::Of<&TLeavingUser::PortEvent>(this));
        }
        ~TLeavingUser()
        {
            if (Port)
                Port->DeregisterPortUser(TPortEventCallback::Of<&TLeavingUser::PortEvent>(this));
        }
        void PortEvent(TKivCustomComPort*, TPortEventKind) { Heard.push_back(1); }
        TKivCustomComPort* Port;
        std::vector<int> Heard;
    };
    for (bool sourceGoes : {false, true}) {
        SCOPED_TRACE(sourceGoes ? "source destroyed" : "user deregistered");
        auto source = std::make_unique<TKivComPort>(&Form);
        auto* user = new TLeavingUser(source.get());
        TKivComPort copy(&Form);
        copy.CopyFrom(source.get());
        copy.SetComNumber(4);
        copy.SetOpen(true);
        copy.SetOpen(false);
        EXPECT_EQ(user->Heard.size(), 3u)
            << "a copy of a live registration hears open, closing, closed";
        if (sourceGoes) {
            source.reset();
            user->Port = nullptr;
        }
        delete user;
        EXPECT_EQ(copy.PortUserCount(), 0u);
        copy.SetOpen(true);
        copy.SetOpen(false);
        EXPECT_FALSE(copy.Open());
    }
}

TEST_F(CopyAndFind, CopyFromSomethingElseDoesNothing)
{
    TKivComPort port(&Form);
    TComponent other(&Form);
    port.SetBaud(1200);
    port.CopyFrom(&other);
    port.CopyFrom(nullptr);
    EXPECT_EQ(port.Baud(), 1200);
}

TEST_F(CopyAndFind, FindsAPortInsideAPanelAndNoneElsewhere)
{
    TComponent panel(&Form);
    TComponent empty(&Form);
    auto* port = new TKivComPort(&panel);
    EXPECT_EQ(FindComPort(&Form), port);
    EXPECT_EQ(FindComPort(&empty), nullptr);
    EXPECT_EQ(FindComPort(nullptr), nullptr);
    auto* direct = new TKivComPort(&Form);
    EXPECT_EQ(FindComPort(&Form), port) << "order of ownership decides";
    (void)direct;
}

// Each circulating close sleeps between its rounds; one must not cut the
// other's sleep short, or the two spin the main thread between them.
TEST_F(DeferredClose, TwoClosesAtOnceDoNotSpinTheMainThread)
{
    Line(4);
    auto* other = new TRigPort(&Form);
    other->SetComNumber(4);
    // Shared: the port may outlive this body in the form when an assertion ends it.
    auto otherClosing = std::make_shared<int>(0);
    other->SetOnTrigger(
        TTriggerEvent::FromFunction([otherClosing](TObject*, win::WORD msg, win::WORD, win::WORD) {
            *otherClosing += msg == kvPortClosing;
        }));
    other->SetOpen(true);
    other->Rig()->LingerOnClose = true;
    Port->SetOpen(false);
    other->SetOpen(false);
    ASSERT_EQ(Port->PortPhase(), ppClosing);
    ASSERT_EQ(other->PortPhase(), ppClosing);
    EXPECT_FALSE(HappensWithin([] { return false; }, 300ms));
    // A round sleeps 5 ms while the threads linger: some 60 in that time.
    EXPECT_LT(ClosingMessages(), 150);
    EXPECT_LT(*otherClosing, 150);

    Port->Rig()->EndLinger();
    other->Rig()->EndLinger();
    ASSERT_TRUE(WaitFor([&] { return !Port->Open() && !other->Open(); }));
    delete other;
}

} // namespace
} // namespace kivo::test
