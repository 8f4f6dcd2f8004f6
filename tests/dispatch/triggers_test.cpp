// Triggers and their delivery: avail thresholds, the data matcher, timers,
// status kinds, handle allocation, handler kinds and their removal, and a
// close asked for from inside a notification.

#include "tests/dispatch/scripted_dispatcher.h"
#include "tests/support/wait_until.h"

#include "framework/exceptions.h"
#include "framework/thread.h"
#include "serial/dispatch/detail/matcher.h"
#include "serial/errors/error_codes.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kivo::test {
namespace {

using namespace std::chrono_literals;
using win::DWORD;

struct Note {
    win::UINT Message;
    int Handle;
    int Data;
    int Index;
};

// Records every notification; optionally reads bytes while it is told.
class RecordingHandler {
public:
    explicit RecordingHandler(TKivBaseDispatcher& line) : Line(line) {}

    void Handle(win::UINT message, win::WPARAM handle, win::LPARAM param)
    {
        std::string got;
        int want = ReadOnAvail < 0 ? static_cast<int>(handle) : ReadOnAvail;
        if (message == kvTriggerAvail && want > 0) {
            got.resize(static_cast<std::size_t>(want));
            if (Line.ReadBlock(got.data(), want) != want) got.clear();
        }
        std::lock_guard<std::mutex> hold(Lock);
        Notes.push_back(Note{message, static_cast<int>(handle), static_cast<int>(param & 0xFFFF),
                             static_cast<int>(param >> 16)});
        Read += got;
        OnThread.push_back(std::this_thread::get_id());
    }

    TTriggerHandlerEvent Event() { return TTriggerHandlerEvent::Of<&RecordingHandler::Handle>(this); }

    std::vector<Note> Seen()
    {
        std::lock_guard<std::mutex> hold(Lock);
        return Notes;
    }
    std::string Bytes()
    {
        std::lock_guard<std::mutex> hold(Lock);
        return Read;
    }
    std::vector<std::thread::id> Threads()
    {
        std::lock_guard<std::mutex> hold(Lock);
        return OnThread;
    }

    int ReadOnAvail = -1;  // -1: everything announced

private:
    TKivBaseDispatcher& Line;
    std::mutex Lock;
    std::vector<Note> Notes;
    std::string Read;
    std::vector<std::thread::id> OnThread;
};

// The dispatch pass driven by hand on the test thread: no thread, no races.
class HandDriven : public ::testing::Test {
protected:
    void SetUp() override
    {
        win::SetMainThread();
        ASSERT_EQ(Line.Open(), 0);
        Line.AttachEventHandler(Handler.Event());
    }
    void Pass()
    {
        Line.DispatchPass();
        Line.TimerStatusPass();
    }
    void Arrive(const std::string& bytes)
    {
        Line.Receive(bytes);
        Pass();
    }

    ScriptedDispatcher Line{false};
    RecordingHandler Handler{Line};
};

TEST_F(HandDriven, AvailAnnouncesEverythingWaitingOnceUntilMoreArrives)
{
    Line.SetAvailThreshold(10);
    Handler.ReadOnAvail = 0;
    Arrive(std::string(25, 'x'));
    ASSERT_EQ(Handler.Seen().size(), 1u);
    EXPECT_EQ(Handler.Seen()[0].Message, kvTriggerAvail);
    EXPECT_EQ(Handler.Seen()[0].Handle, 25);
    EXPECT_EQ(Handler.Seen()[0].Index, Line.RegistryIndex());
    Pass();
    EXPECT_EQ(Handler.Seen().size(), 1u);
    Arrive("y");
    ASSERT_EQ(Handler.Seen().size(), 2u);
    EXPECT_EQ(Handler.Seen()[1].Handle, 26);
}

TEST_F(HandDriven, BelowTheThresholdNothingIsAnnounced)
{
    Line.SetAvailThreshold(10);
    Arrive(std::string(9, 'x'));
    EXPECT_TRUE(Handler.Seen().empty());
    // A threshold past the largest int is no negative one.
    Line.SetAvailThreshold(0x80000000u);
    Arrive("y");
    EXPECT_TRUE(Handler.Seen().empty());
}

TEST_F(HandDriven, WhatHandlersReadIsConsumedAtTheEndOfTheNotification)
{
    Line.SetAvailThreshold(1);
    Arrive("abcdef");
    EXPECT_EQ(Handler.Bytes(), "abcdef");
    EXPECT_EQ(Line.InputCount(), 0);
}

TEST_F(HandDriven, EveryHandlerSeesTheSameBytesAndTheTailMovesByTheMostTaken)
{
    RecordingHandler second(Line);
    second.ReadOnAvail = 2;
    Line.AttachEventHandler(second.Event());
    Line.SetAvailThreshold(1);
    Handler.ReadOnAvail = 4;
    Arrive("abcdef");
    EXPECT_EQ(Handler.Bytes(), "abcd");
    EXPECT_EQ(second.Bytes(), "ab");
    EXPECT_EQ(Line.InputCount(), 2);
}

TEST_F(HandDriven, ShortReadMakesTheAvailDeliveryFalse)
{
    Line.SetAvailThreshold(1);
    Handler.ReadOnAvail = 2;
    Line.Receive("abcdef");
    Line.DispatchPass();
    EXPECT_EQ(Handler.Seen().size(), 1u);
    EXPECT_EQ(Line.InputCount(), 4);
    EXPECT_FALSE(Line.NotifyHandlers(kvTriggerAvail, 4, 0));
    Handler.ReadOnAvail = -1;
    EXPECT_TRUE(Line.NotifyHandlers(kvTriggerAvail, 2, 0));
}

TEST_F(HandDriven, IgnoreCasePatternMatchesLowerAndMixedCase)
{
    int handle = Line.NewDataTrigger("OK", 2, true);
    ASSERT_GT(handle, 0);
    Arrive("xok");
    Arrive("-oK-");
    Arrive("Ok");
    auto seen = Handler.Seen();
    ASSERT_EQ(seen.size(), 3u);
    for (const Note& note : seen) {
        EXPECT_EQ(note.Message, kvTriggerData);
        EXPECT_EQ(note.Handle, handle);
        EXPECT_EQ(note.Data, 2);
    }
}

TEST_F(HandDriven, PatternSplitAcrossTwoReadsFiresOnce)
{
    Line.NewDataTrigger("\r\n", 2, false);
    Arrive("line\r");
    EXPECT_TRUE(Handler.Seen().empty());
    Arrive("\nnext");
    EXPECT_EQ(Handler.Seen().size(), 1u);
}

TEST_F(HandDriven, DiscardedInputForgetsPartialMatches)
{
    Line.NewDataTrigger("AB", 2, false);
    Arrive("A");
    Line.DiscardInput();
    Arrive("B");
    EXPECT_TRUE(Handler.Seen().empty());
}

// Input discarded by the handler of a match is gone: what followed the match
// is not searched any more.
TEST_F(HandDriven, InputDiscardedByAHandlerIsNotSearchedAfterwards)
{
    int handle = Line.NewDataTrigger("AB", 2, false);
    auto discard =
        TTriggerHandlerEvent::FromFunction([&](win::UINT message, win::WPARAM, win::LPARAM) {
            if (message == kvTriggerData) Line.DiscardInput();
        });
    Line.AttachEventHandler(discard);
    Arrive("xAByABzA");
    Arrive("B");
    Arrive("AB");
    auto seen = Handler.Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].Handle, handle);
    EXPECT_EQ(seen[1].Handle, handle);
    EXPECT_EQ(Line.InputCount(), 0);
}

// Nor is it read: neither by the handler that discarded it nor by the ones
// told of the same notification after it.
TEST_F(HandDriven, InputDiscardedByAHandlerIsNotReadByTheHandlersAfterIt)
{
    Handler.ReadOnAvail = 0;
    int leftAfterDiscard = -1;
    auto discard =
        TTriggerHandlerEvent::FromFunction([&](win::UINT message, win::WPARAM, win::LPARAM) {
            if (message != kvTriggerAvail || leftAfterDiscard >= 0) return;
            Line.DiscardInput();
            leftAfterDiscard = Line.InputCount();
        });
    Line.AttachEventHandler(discard);
    RecordingHandler later(Line);
    Line.AttachEventHandler(later.Event());
    Line.SetAvailThreshold(1);
    Arrive("abcdef");
    ASSERT_EQ(later.Seen().size(), 1u);
    EXPECT_EQ(leftAfterDiscard, 0);
    EXPECT_EQ(later.Bytes(), "");
    EXPECT_EQ(Line.InputCount(), 0);
    Arrive("gh");
    EXPECT_EQ(later.Bytes(), "gh");
}

TEST_F(HandDriven, TwoTriggersMatchingOnOneByteComeLastRegisteredFirst)
{
    int first = Line.NewDataTrigger("LO", 2, false);
    int second = Line.NewDataTrigger("O", 1, false);
    Arrive("HELLO");
    auto seen = Handler.Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].Handle, second);
    EXPECT_EQ(seen[0].Data, 1);
    EXPECT_EQ(seen[1].Handle, first);
    EXPECT_EQ(seen[1].Data, 2);
}

// A handler told of one match drops the other trigger that matched on the
// same byte: the dropped one is not told afterwards.
TEST_F(HandDriven, TriggerDroppedByAHandlerOfTheSameByteIsNotToldOfIt)
{
    int first = Line.NewDataTrigger("LO", 2, false);
    int second = Line.NewDataTrigger("O", 1, false);
    int dropped = 0;
    auto dropper =
        TTriggerHandlerEvent::FromFunction([&](win::UINT, win::WPARAM handle, win::LPARAM) {
            if (static_cast<int>(handle) == second)
                dropped = Line.DropTrigger(first) == 0 ? first : -1;
        });
    Line.AttachEventHandler(dropper);
    Arrive("HELLO");
    EXPECT_EQ(dropped, first);
    auto seen = Handler.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Handle, second);
}

// Once the handle counter has run out, a dropped trigger's handle is handed
// out again at once: the trigger that takes it over within the same byte's
// notifications did not match and is told nothing.
TEST_F(HandDriven, HandleTakenOverByAHandlerGetsNoNoticeOfTheDroppedTrigger)
{
    int first = Line.NewDataTrigger("LO", 2, false);
    int second = Line.NewDataTrigger("O", 1, false);
    while (Line.NewTimerTrigger() > 0) {
    }
    int successor = 0;
    auto replacer =
        TTriggerHandlerEvent::FromFunction([&](win::UINT, win::WPARAM handle, win::LPARAM) {
            if (static_cast<int>(handle) != second || successor != 0) return;
            Line.DropTrigger(first);
            successor = Line.NewDataTrigger("Q", 1, false);
        });
    Line.AttachEventHandler(replacer);
    Arrive("HELLO");
    ASSERT_EQ(successor, first);  // the same handle, another trigger
    auto seen = Handler.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Handle, second);
    Arrive("Q");
    ASSERT_EQ(Handler.Seen().size(), 2u);
    EXPECT_EQ(Handler.Seen()[1].Handle, successor);
    EXPECT_EQ(Handler.Seen()[1].Data, 1);
}

// A restored data trigger has not seen what came in since it was saved (on
// a reopened port, another line's bytes): it carries no partial match over.
TEST_F(HandDriven, RestoredDataTriggerCarriesNoPartialMatchOver)
{
    int handle = Line.NewDataTrigger("AB", 2, false);
    Arrive("xA");
    TTriggerSet saved;
    Line.SaveTriggerSet(saved);

    ScriptedDispatcher reopened{false};
    ASSERT_EQ(reopened.Open(), 0);
    RecordingHandler told(reopened);
    reopened.AttachEventHandler(told.Event());
    reopened.RestoreTriggerSet(saved);
    reopened.Receive("B");
    reopened.DispatchPass();
    EXPECT_TRUE(told.Seen().empty());
    reopened.Receive("AB");
    reopened.DispatchPass();
    ASSERT_EQ(told.Seen().size(), 1u);
    EXPECT_EQ(told.Seen()[0].Handle, handle);
}

TEST_F(HandDriven, BytesBeforeAMatchAreAnnouncedFirst)
{
    Line.SetAvailThreshold(3);
    Handler.ReadOnAvail = -1;
    int handle = Line.NewDataTrigger("END", 3, false);
    Arrive("abcEND");
    auto seen = Handler.Seen();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[0].Message, kvTriggerAvail);
    EXPECT_EQ(seen[0].Handle, 3);
    EXPECT_EQ(seen[1].Message, kvTriggerData);
    EXPECT_EQ(seen[1].Handle, handle);
    EXPECT_EQ(Handler.Bytes().substr(0, 3), "abc");
}

// The handler of the first match reads everything, the second match with
// it: no byte before the second one is left to announce.
TEST_F(HandDriven, MatchAlreadyReadByAHandlerAnnouncesNothingBeforeIt)
{
    Line.SetAvailThreshold(1);
    int handle = Line.NewDataTrigger("A", 1, false);
    auto reader =
        TTriggerHandlerEvent::FromFunction([&](win::UINT message, win::WPARAM, win::LPARAM) {
            char all[16];
            int held = Line.InputCount();
            if (message == kvTriggerData && held > 0) Line.ReadBlock(all, held);
        });
    Line.AttachEventHandler(reader);
    Arrive("xAyAz");
    auto seen = Handler.Seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].Message, kvTriggerAvail);
    EXPECT_EQ(seen[0].Handle, 1);
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].Message, kvTriggerData);
        EXPECT_EQ(seen[i].Handle, handle);
    }
    EXPECT_EQ(Line.InputCount(), 0);
}

TEST_F(HandDriven, HandlerExceptionIsShownAndLaterNotificationsStillArrive)
{
    std::vector<std::string> shown;
    SetExceptionDisplay([&](std::exception_ptr e) { shown.push_back(ExceptionMessage(e)); });
    bool thrown = false;
    auto throwing = TTriggerHandlerEvent::FromFunction([&](win::UINT, win::WPARAM, win::LPARAM) {
        if (!thrown) {
            thrown = true;
            throw Exception("handler failed");
        }
    });
    Line.AttachEventHandler(throwing);
    Line.SetAvailThreshold(1);
    Arrive("a");
    Arrive("b");
    SetExceptionDisplay(nullptr);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "handler failed");
    EXPECT_EQ(Handler.Seen().size(), 2u);
}

TEST_F(HandDriven, LineErrorEventFiresItsStatusTriggerOnce)
{
    int handle = Line.NewStatusTrigger(2);
    ASSERT_EQ(StatusKindOf(handle), 2);
    ASSERT_EQ(Line.ArmStatusTrigger(handle, 0x1F), 0);
    Line.PendingErrors = win::CE_FRAME;
    Line.Event(win::EV_ERR);
    Pass();
    Line.PendingErrors = win::CE_FRAME;
    Line.Event(win::EV_ERR);
    Pass();
    auto seen = Handler.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Message, kvTriggerStatus);
    EXPECT_EQ(seen[0].Handle, handle);
    EXPECT_EQ(Line.TakeLineError(), 4);
}

TEST_F(HandDriven, ModemTriggerFiresOnTheWatchedLineOnly)
{
    int handle = Line.NewStatusTrigger(1);
    // Watch DCD (0x80) for a change away from low.
    ASSERT_EQ(Line.ArmStatusTrigger(handle, 0x8000), 0);
    Line.ModemLines = win::MS_CTS_ON;
    Line.Event(win::EV_CTS);
    Pass();
    EXPECT_TRUE(Handler.Seen().empty());
    Line.ModemLines = win::MS_CTS_ON | win::MS_RLSD_ON;
    Line.Event(win::EV_RLSD);
    Pass();
    ASSERT_EQ(Handler.Seen().size(), 1u);
    EXPECT_EQ(Handler.Seen()[0].Handle, handle);
    std::uint8_t shadow = Line.ReadModemShadow();
    EXPECT_EQ(shadow & 0xF0, 0x90);
    EXPECT_NE(shadow & 0x08, 0);  // DCD changed
    EXPECT_EQ(Line.ReadModemShadow() & 0x0F, 0);
}

TEST_F(HandDriven, RingEventSetsTheRingChangeBit)
{
    Line.Event(win::EV_RING);
    Pass();
    EXPECT_NE(Line.ReadModemShadow() & 0x04, 0);
    EXPECT_EQ(Line.ReadModemShadow() & 0x04, 0);
}

TEST_F(HandDriven, OutputTriggersReportRoomUseAndSent)
{
    int sent = Line.NewStatusTrigger(5);
    int room = Line.NewStatusTrigger(3);
    Line.ArmStatusTrigger(sent, 0);
    Line.ArmStatusTrigger(room, 4090);  // more than is left
    ASSERT_EQ(Line.WriteBlock("0123456789", 10), 0);
    Pass();
    auto seen = Handler.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Handle, sent);
    Line.ArmStatusTrigger(room, 4086);
    int used = Line.NewStatusTrigger(4);
    Line.ArmStatusTrigger(used, 10);
    Pass();
    seen = Handler.Seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].Handle, room);
    EXPECT_EQ(seen[1].Data, 4086);
    EXPECT_EQ(seen[2].Handle, used);
    EXPECT_EQ(seen[2].Data, 10);
}

// A handler that arms its trigger again is told once a pass, not over and
// over while the room lasts.
TEST_F(HandDriven, StatusTriggerArmedAgainByItsHandlerFiresOncePerPass)
{
    int room = Line.NewStatusTrigger(3);
    int calls = 0;
    auto rearm =
        TTriggerHandlerEvent::FromFunction([&](win::UINT, win::WPARAM handle, win::LPARAM) {
            if (static_cast<int>(handle) == room && ++calls < 100) Line.ArmStatusTrigger(room, 1);
        });
    Line.AttachEventHandler(rearm);
    Line.ArmStatusTrigger(room, 1);
    Line.DispatchPass();
    EXPECT_EQ(calls, 1);
    Line.DispatchPass();
    EXPECT_EQ(calls, 2);
}

TEST_F(HandDriven, HandlerDetachedDuringItsNotificationIsFreedAfterIt)
{
    auto self = std::make_shared<TTriggerHandlerEvent>();
    int calls = 0;
    *self = TTriggerHandlerEvent::FromFunction([&](win::UINT, win::WPARAM, win::LPARAM) {
        ++calls;
        Line.DetachEventHandler(*self);
    });
    Line.AttachEventHandler(*self);
    Line.SetAvailThreshold(1);
    Arrive("a");
    Arrive("b");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(Handler.Seen().size(), 2u);
}

// Detached, attached again and detached again within one notification (a
// user that unhooks, hooks and unhooks): nothing of it stays attached.
TEST_F(HandDriven, HandlerDetachedTwiceInOneNotificationGetsNothingMore)
{
    int calls = 0;
    auto hooked = TTriggerHandlerEvent::FromFunction(
        [&](win::UINT, win::WPARAM, win::LPARAM) { ++calls; });
    Line.AttachEventHandler(hooked);
    bool churned = false;
    auto churn = TTriggerHandlerEvent::FromFunction([&](win::UINT, win::WPARAM, win::LPARAM) {
        if (std::exchange(churned, true)) return;
        Line.DetachEventHandler(hooked);
        Line.AttachEventHandler(hooked);
        Line.DetachEventHandler(hooked);
    });
    Line.AttachEventHandler(churn);
    Line.SetAvailThreshold(1);
    Handler.ReadOnAvail = 0;
    Arrive("a");
    ASSERT_TRUE(churned);
    int before = calls;
    Arrive("b");
    EXPECT_EQ(calls, before);
    EXPECT_EQ(Handler.Seen().size(), 2u);
}

TEST(DataMatcher, SecondPartialMatchSurvivesARepeatedFirstByte)
{
    TDataTrigger trigger;
    trigger.Length = 3;
    std::memcpy(trigger.Pattern.data(), "AAB", 3);
    std::string stream = "AAAB";
    std::vector<bool> hits;
    for (char c : stream) hits.push_back(detail::MatchByte(trigger, static_cast<std::uint8_t>(c)));
    EXPECT_EQ(hits, (std::vector<bool>{false, false, false, true}));
    for (std::int32_t slot : trigger.Slots) EXPECT_EQ(slot, 0);
}

TEST(DataMatcher, OccurrencesDoNotOverlap)
{
    TDataTrigger trigger;
    trigger.Length = 3;
    std::memcpy(trigger.Pattern.data(), "ABA", 3);
    std::vector<bool> hits;
    for (char c : std::string("ABABABA"))
        hits.push_back(detail::MatchByte(trigger, static_cast<std::uint8_t>(c)));
    // A match starts the search afresh: the "A" that ends one begins no other.
    EXPECT_EQ(hits, (std::vector<bool>{false, false, true, false, false, false, true}));
}

TEST(DataMatcher, CaseIsIgnoredOnlyForTheIncomingByte)
{
    TDataTrigger upper;
    upper.Length = 1;
    upper.IgnoreCase = true;
    upper.Pattern[0] = 'Q';
    EXPECT_TRUE(detail::MatchByte(upper, 'q'));
    TDataTrigger lower = upper;
    lower.Pattern[0] = 'q';
    EXPECT_FALSE(detail::MatchByte(lower, 'q'));
    EXPECT_EQ(detail::UpperAnsi(0xE9), 0xC9);  // e acute
}

class TriggerHandles : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Line.Open(), 0); }
    ScriptedDispatcher Line{false};
};

TEST_F(TriggerHandles, HandlesRunInStepsOfEightAndStatusHandlesCarryTheirKind)
{
    EXPECT_EQ(Line.NewTimerTrigger(), 8);
    EXPECT_EQ(Line.NewStatusTrigger(4), 20);
    EXPECT_EQ(Line.NewDataTrigger("x", 1, false), 24);
    EXPECT_EQ(Line.NewStatusTrigger(0), ecBadArgument);
    EXPECT_EQ(Line.NewDataTrigger("", 0, false), ecTriggerTooLong);
    EXPECT_EQ(Line.NewDataTrigger(std::string(23, 'x').data(), 23, false), ecTriggerTooLong);
}

TEST_F(TriggerHandles, AfterTheCounterRunsOutFreedLowHandlesAreReused)
{
    for (int i = 1; i < MaxTriggerSlot; ++i) ASSERT_EQ(Line.NewTimerTrigger(), 8 * i);
    EXPECT_EQ(Line.NewTimerTrigger(), ecNoMoreTriggers);
    ASSERT_EQ(Line.DropTrigger(16), 0);
    EXPECT_EQ(Line.NewTimerTrigger(), 16);
    EXPECT_EQ(Line.NewTimerTrigger(), ecNoMoreTriggers);
}

TEST_F(TriggerHandles, DroppingHandleOneTurnsAvailOffAndUnknownHandlesAreRefused)
{
    Line.SetAvailThreshold(5);
    EXPECT_EQ(Line.DropTrigger(AvailTriggerHandle), 0);
    EXPECT_EQ(Line.DropTrigger(64), ecBadTriggerHandle);
    EXPECT_EQ(Line.ArmTimerTrigger(64, 1, true), ecBadTriggerHandle);
    int status = Line.NewStatusTrigger(2);
    EXPECT_EQ(Line.ArmTimerTrigger(status, 1, true), ecBadTriggerHandle);
    EXPECT_EQ(Line.DropTrigger(status), 0);
    EXPECT_EQ(Line.DropTrigger(status), ecBadTriggerHandle);
}

TEST_F(TriggerHandles, RestoredSetKeepsItsHandlesAndNewOnesDoNotCollide)
{
    int timer = Line.NewTimerTrigger();
    int data = Line.NewDataTrigger("*", 1, false);
    Line.SetAvailThreshold(7);
    TTriggerSet saved;
    Line.SaveTriggerSet(saved);
    Line.ClearTriggerSet();
    EXPECT_EQ(Line.DropTrigger(timer), ecBadTriggerHandle);
    Line.RestoreTriggerSet(saved);
    EXPECT_EQ(Line.ArmTimerTrigger(timer, 2, true), 0);
    int fresh = Line.NewTimerTrigger();
    EXPECT_NE(fresh, timer);
    EXPECT_NE(fresh, data);
    EXPECT_EQ(Line.DropTrigger(data), 0);
    TKivBaseDispatcher::FreeTriggerSet(saved);
    EXPECT_TRUE(saved.Timers.empty());
}

// How long the dispatch thread may sleep: only as long as nothing is due.
TEST_F(HandDriven, NextWaitFollowsTheEarliestTimerAndArmedStatusTriggers)
{
    EXPECT_EQ(Line.NextWaitMilliseconds(), win::INFINITE);  // idle: no wake-up at all

    int slow = Line.NewTimerTrigger();
    int fast = Line.NewTimerTrigger();
    ASSERT_EQ(Line.ArmTimerTrigger(slow, 40, true), 0);
    win::DWORD wait = Line.NextWaitMilliseconds();
    EXPECT_EQ(wait, TKivBaseDispatcher::TimerRecheckMilliseconds);  // far off: rechecked
    ASSERT_EQ(Line.ArmTimerTrigger(fast, 2, true), 0);
    wait = Line.NextWaitMilliseconds();
    // The tick after the expiry tick: between two and three ticks away.
    EXPECT_GT(wait, 2 * win::MillisecondsPerTick);
    EXPECT_LE(wait, 3 * win::MillisecondsPerTick + 1);

    int status = Line.NewStatusTrigger(5);
    EXPECT_GT(Line.NextWaitMilliseconds(), TKivBaseDispatcher::StatusPollMilliseconds);  // not armed
    ASSERT_EQ(Line.ArmStatusTrigger(status, 0), 0);
    EXPECT_EQ(Line.NextWaitMilliseconds(), TKivBaseDispatcher::StatusPollMilliseconds);

    ASSERT_EQ(Line.DropTrigger(status), 0);
    ASSERT_EQ(Line.ArmTimerTrigger(fast, 0, false), 0);
    ASSERT_EQ(Line.ArmTimerTrigger(slow, 0, false), 0);
    EXPECT_EQ(Line.NextWaitMilliseconds(), win::INFINITE);
}

TEST_F(HandDriven, ModemLinesAreAskedForOnlyWhileAModemTriggerIsArmed)
{
    Line.ModemQueries = 0;  // the open reads them once
    for (int i = 0; i < 20; ++i) Arrive("data");
    Line.Event(win::EV_ERR);
    Pass();
    EXPECT_EQ(Line.ModemQueries.load(), 0);

    int handle = Line.NewStatusTrigger(1);
    ASSERT_EQ(Line.ArmStatusTrigger(handle, 0x1000), 0);  // CTS away from low
    Pass();
    EXPECT_GT(Line.ModemQueries.load(), 0);
    EXPECT_TRUE(Handler.Seen().empty());
    // A change the device never announced is still found by the pass.
    Line.ModemLines = win::MS_CTS_ON;
    Pass();
    ASSERT_EQ(Handler.Seen().size(), 1u);
    EXPECT_EQ(Handler.Seen()[0].Handle, handle);
}

// A device thread reporting its end holds the scans while its line-error
// notification runs; a pass meanwhile only moves the bytes, and must leave
// another pass due for them, not an idle sleep.
TEST_F(HandDriven, APassThatSkippedItsScansLeavesAnotherDue)
{
    Line.SetAvailThreshold(1);
    int lineError = Line.NewStatusTrigger(2);
    ASSERT_EQ(Line.ArmStatusTrigger(lineError, 0x1F), 0);
    auto passMeanwhile = TTriggerHandlerEvent::FromFunction([&](win::UINT message, win::WPARAM,
                                                                win::LPARAM) {
        if (message != kvTriggerStatus) return;
        Line.Receive("abc");
        Line.DispatchPass();
    });
    Line.AttachEventHandler(passMeanwhile);
    Line.ThreadStarted();
    Line.ThreadEnded(nullptr, ecDeviceRead);
    ASSERT_EQ(Handler.Seen().size(), 1u);
    EXPECT_EQ(Handler.Seen()[0].Handle, lineError);
    EXPECT_EQ(Line.InputCount(), 3);  // moved, not yet announced
    EXPECT_LE(Line.NextWaitMilliseconds(), TKivBaseDispatcher::StatusPollMilliseconds);
    Pass();
    ASSERT_EQ(Handler.Seen().size(), 2u);
    EXPECT_EQ(Handler.Seen()[1].Message, kvTriggerAvail);
    EXPECT_EQ(Handler.Bytes(), "abc");
    EXPECT_EQ(Line.NextWaitMilliseconds(), win::INFINITE);
}

// Through the running dispatch thread.
class Threaded : public ::testing::Test {
protected:
    void SetUp() override
    {
        win::SetMainThread();
        ASSERT_EQ(Line.Open(), 0);
    }
    bool Pump(std::chrono::milliseconds limit, const std::function<bool()>& done)
    {
        return WaitUntil(limit, done, [] {
            while (win::ProcessOneMessage()) {
            }
        });
    }
    ScriptedDispatcher Line;
    RecordingHandler Handler{Line};
};

TEST_F(Threaded, TimerOfTwoTicksFiresOnceOnItsTickFromAnIdleSleep)
{
    Line.AttachEventHandler(Handler.Event());
    int timer = Line.NewTimerTrigger();
    // The dispatch thread sleeps with nothing due; the arming wakes it.
    ASSERT_EQ(Line.NextWaitMilliseconds(), win::INFINITE);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Line.ArmTimerTrigger(timer, 2, true), 0);
    ASSERT_TRUE(WaitUntil(2s, [&] { return !Handler.Seen().empty(); }));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 105ms);  // a tick boundary can fall just after the start
    // Three ticks at most, plus scheduling; a 50 ms poll could add 50 more.
    EXPECT_LT(took, 3 * 55ms + 100ms);
    EXPECT_EQ(Handler.Seen()[0].Message, kvTriggerTimer);
    EXPECT_EQ(Handler.Seen()[0].Handle, timer);
    EXPECT_FALSE(WaitUntil(250ms, [&] { return Handler.Seen().size() > 1; }));
}

// A port keeps its triggers across a reopen: restored onto a line whose
// dispatch thread sleeps with nothing due, a running timer and an armed
// output trigger still fire without any input.
TEST_F(Threaded, RestoredTriggersFireOnAQuietLine)
{
    ScriptedDispatcher before{false};
    ASSERT_EQ(before.Open(), 0);
    int timer = before.NewTimerTrigger();
    int room = before.NewStatusTrigger(3);
    ASSERT_EQ(before.ArmTimerTrigger(timer, 1, true), 0);
    ASSERT_EQ(before.ArmStatusTrigger(room, 1), 0);
    TTriggerSet saved;
    before.SaveTriggerSet(saved);

    Line.AttachEventHandler(Handler.Event());
    Line.Receive("w");  // one pass, then a sleep without a time-out: nothing is due
    ASSERT_TRUE(WaitUntil(2s, [&] { return Line.InputCount() == 1; }));
    ASSERT_TRUE(WaitUntil(2s, [&] { return win::TickTimerExpired(saved.Timers[0].Timer); }));
    Line.RestoreTriggerSet(saved);
    ASSERT_TRUE(WaitUntil(2s, [&] { return Handler.Seen().size() >= 2; }));
    std::vector<int> fired;
    for (const Note& note : Handler.Seen()) fired.push_back(note.Handle);
    std::sort(fired.begin(), fired.end());
    EXPECT_EQ(fired, (std::vector<int>{timer, room}));
}

TEST_F(Threaded, AnIdleLineMakesNoPassesAndBytesStillArriveAtOnce)
{
    Line.AttachEventHandler(Handler.Event());
    int handle = Line.NewStatusTrigger(1);
    ASSERT_EQ(Line.ArmStatusTrigger(handle, 0x1000), 0);
    // Polled while armed, as the device need not announce a line change.
    ASSERT_TRUE(WaitUntil(2s, [&] { return Line.ModemQueries.load() >= 3; }));
    Line.ModemLines = win::MS_CTS_ON;
    ASSERT_TRUE(WaitUntil(2s, [&] { return !Handler.Seen().empty(); }));
    ASSERT_EQ(Line.DropTrigger(handle), 0);
    // Dropped: the next pass finds nothing to poll, and then nothing runs.
    ASSERT_TRUE(WaitUntil(2s, [&] { return Line.NextWaitMilliseconds() == win::INFINITE; }));
    Line.Receive("w");
    ASSERT_TRUE(WaitUntil(2s, [&] { return Line.InputCount() == 1; }));
    int queries = Line.ModemQueries.load();
    EXPECT_FALSE(WaitUntil(300ms, [&] { return Line.ModemQueries.load() != queries; }));
    Line.SetAvailThreshold(1);
    auto start = std::chrono::steady_clock::now();
    Line.Receive("x");
    ASSERT_TRUE(WaitUntil(2s, [&] { return Handler.Seen().size() >= 2; }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 40ms);
}

TEST_F(Threaded, ABacklogOfManyBlocksDrainsWithoutWaitingForAnotherPush)
{
    // Many blocks queued by one burst set the queue's signal once: the
    // passes after the first must run on what is queued, not on a wake.
    Line.AttachEventHandler(Handler.Event());
    std::string bytes;
    for (int i = 0; bytes.size() < 6 * 8192; ++i) bytes += static_cast<char>('a' + i % 26);
    Line.SetAvailThreshold(1);
    auto start = std::chrono::steady_clock::now();
    Line.Receive(bytes);
    ASSERT_TRUE(WaitUntil(3s, [&] { return Handler.Bytes().size() == bytes.size(); }))
        << Handler.Bytes().size();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(Handler.Bytes(), bytes);
    // A pass waiting for a poll between buffers would take 250 ms or more.
    EXPECT_LT(took, 150ms);
}

TEST_F(Threaded, EventHandlersRunOnTheDispatchThreadOrFlaggedOnTheMainThread)
{
    RecordingHandler onMain(Line);
    Line.AttachEventHandler(Handler.Event());
    Line.AttachEventHandler(onMain.Event(), true);
    Line.SetAvailThreshold(1);
    Line.Receive("z");
    ASSERT_TRUE(Pump(2s, [&] { return !onMain.Seen().empty(); }));
    ASSERT_EQ(Handler.Threads().size(), 1u);
    EXPECT_NE(Handler.Threads()[0], std::this_thread::get_id());
    EXPECT_EQ(onMain.Threads()[0], std::this_thread::get_id());
    EXPECT_EQ(onMain.Bytes(), "z");
}

// Detached on the main thread while the dispatch thread already waits to run
// it there, a handler is not called: its object may be gone by then.
TEST_F(Threaded, HandlerDetachedWhileItsCallWaitsForTheMainThreadIsNotCalled)
{
    std::atomic<bool> reached{false};
    Line.AttachEventHandler(TTriggerHandlerEvent::FromFunction(
        [&](win::UINT, win::WPARAM, win::LPARAM) { reached = true; }));
    RecordingHandler onMain(Line);
    Line.AttachEventHandler(onMain.Event(), true);
    Line.SetAvailThreshold(1);
    Line.Receive("x");
    ASSERT_TRUE(WaitUntil(2s, [&] { return reached.load(); }));  // not pumping
    std::this_thread::sleep_for(50ms);  // the dispatch thread now waits for this one
    Line.DetachEventHandler(onMain.Event());
    Pump(300ms, [] { return false; });
    EXPECT_TRUE(onMain.Seen().empty());
    Line.Receive("y");
    Pump(100ms, [] { return false; });
    EXPECT_TRUE(onMain.Seen().empty());
}

// Armed again by a handler on the main thread while its condition holds, a
// status trigger is looked at again by the status poll, not at once: waking
// the dispatch thread for it spun the two threads against each other.
TEST_F(Threaded, StatusTriggerArmedAgainFromTheMainThreadIsPolledNotSpun)
{
    int room = Line.NewStatusTrigger(3);
    std::atomic<int> calls{0};
    auto rearm =
        TTriggerHandlerEvent::FromFunction([&](win::UINT, win::WPARAM handle, win::LPARAM) {
            if (static_cast<int>(handle) != room) return;
            ++calls;
            Line.ArmStatusTrigger(room, 1);
        });
    Line.AttachEventHandler(rearm, true);
    ASSERT_EQ(Line.ArmStatusTrigger(room, 1), 0);
    ASSERT_TRUE(Pump(2s, [&] { return calls.load() > 0; }));
    int before = calls.load();
    Pump(500ms, [] { return false; });
    // Two passes per poll of 50 ms come to about 20.
    EXPECT_LT(calls.load() - before, 60);
}

TEST_F(Threaded, ThreadBoostRaisesTheDispatchThreadsPriority)
{
    if (::geteuid() != 0) GTEST_SKIP() << "raising a priority needs privilege";
    std::atomic<int> nice{100};
    auto probe = TTriggerHandlerEvent::FromFunction([&](win::UINT, win::WPARAM, win::LPARAM) {
        nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
    });
    Line.AttachEventHandler(probe);
    Line.ApplyThreadBoost(3);
    Line.SetAvailThreshold(1);
    Line.Receive("p");
    ASSERT_TRUE(WaitUntil(2s, [&] { return nice.load() != 100; }));
    EXPECT_EQ(nice.load(), -3);
}

TEST_F(Threaded, WindowDetachedInItsOwnNotificationGetsNothingMore)
{
    int calls = 0;
    win::HWND window = nullptr;
    window = win::CreateMessageWindow([&](win::UINT message, win::WPARAM, win::LPARAM) {
        if (message == kvTriggerAvail) {
            ++calls;
            Line.DetachWindow(window);
        }
        return win::LRESULT{0};
    });
    Line.AttachWindow(window);
    Line.RefreshHandlerFlags(1);
    Line.SetAvailThreshold(1);
    Line.Receive("a");
    ASSERT_TRUE(Pump(2s, [&] { return calls == 1; }));
    ASSERT_TRUE(Pump(2s, [&] {
        win::TCriticalSectionLock hold(Line.StateLock);
        return Line.WindowHandlers.empty();
    }));
    Line.Receive("b");
    EXPECT_FALSE(Pump(200ms, [&] { return calls > 1; }));
    win::DestroyWindow(window);
}

TEST_F(Threaded, CloseAskedForFromAHandlerEndsThePassAndReleasesTheLine)
{
    RecordingHandler later(Line);
    int closes = 0;
    auto closing = TTriggerHandlerEvent::FromFunction([&](win::UINT, win::WPARAM, win::LPARAM) {
        ++closes;
        Line.CloseLine();
    });
    Line.AttachEventHandler(closing);
    Line.AttachEventHandler(later.Event());
    Line.SetAvailThreshold(1);
    Line.Receive("bye");
    ASSERT_TRUE(Pump(2s, [&] { return !Line.Started(); }));
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(later.Seen().empty());
    EXPECT_EQ(Line.DispatchThread.load(), nullptr);
    EXPECT_EQ(Line.InputCount(), 0);  // the dispatch buffer is gone
    EXPECT_TRUE(Line.ReleaseClaimed.load());
}

// Destroyed by a handler on the main thread, the dispatcher lets go of the
// dispatch thread that waits for that handler; a close that takes its time
// (a slow flush, as a device's may be) must not give that thread room to run
// the next handler.
TEST_F(Threaded, ADispatcherDestroyedFromAHandlerOnTheMainThreadCallsNoFurtherHandler)
{
    struct SlowFlush : ScriptedDispatcher {
        ~SlowFlush() override { Shutdown(); }
        int DeviceFlush(int queue) override
        {
            // As long as a thread let go too early takes to ask for the next
            // handler, within a bound.
            if (Slow.exchange(false))
                win::MsgWaitForMultipleObjects(0, nullptr, 200, win::QS_SENDMESSAGE);
            return ScriptedDispatcher::DeviceFlush(queue);
        }
        std::atomic<bool> Slow{false};
    };
    auto* line = new SlowFlush;
    ASSERT_EQ(line->Open(), 0);
    std::atomic<int> later{0};
    line->AttachEventHandler(TTriggerHandlerEvent::FromFunction(
        [&line](win::UINT, win::WPARAM, win::LPARAM) {
            if (!line) return;
            line->Slow = true;
            delete std::exchange(line, nullptr);
        }), true);
    line->AttachEventHandler(TTriggerHandlerEvent::FromFunction(
        [&later](win::UINT, win::WPARAM, win::LPARAM) { ++later; }), true);
    line->SetAvailThreshold(1);
    line->Receive("x");
    ASSERT_TRUE(Pump(5s, [&] { return line == nullptr; }));
    Pump(100ms, [] { return false; });
    EXPECT_EQ(later.load(), 0) << "a handler ran while its dispatcher was being destroyed";
}

} // namespace
} // namespace kivo::test
