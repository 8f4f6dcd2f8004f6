// The data packet's matching and delivery, block by block through the
// scripted dispatcher: where packets start and end, what the events get,
// time-outs, and what attaching does.

#include "framework/exceptions.h"
#include "platform/clock.h"
#include "tests/packet/packet_rig.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>

namespace kivo::test {
namespace {

using namespace std::chrono_literals;
using enum TPacketEndCond;
using Texts = std::vector<std::string>;

class DataPacket : public PacketRig {
protected:
    void SetUp() override { OpenPort(Port); }

    // Disarmed while changed, armed again afterwards.
    void Reconfigure(const std::function<void(TKivDataPacket&)>& change)
    {
        Packet->SetEnabled(false);
        change(*Packet);
        Packet->SetEnabled(true);
    }
    // Texts delivered for each block, the packet starting afresh each time.
    Texts FramesOf(const Texts& blocks)
    {
        Got = {};
        for (const std::string& block : blocks) Port->Receive(block);
        return Got.Strings;
    }
    bool WaitForTimeout(int count)
    {
        return WaitUntil(2s, [&] {
            Port->RunTimers();
            return Got.Timeouts >= count;
        });
    }
};

TEST_F(DataPacket, WindowConfigurationDeliversTheFrameAloneAndDropsTheRest)
{
    Port->Receive("xx" + StatusFrame + "yy");
    EXPECT_EQ(Got.Strings, Texts{StatusFrame});
    EXPECT_EQ(Got.Blocks, Texts{StatusFrame});
    EXPECT_EQ(Packet->State(), TPacketState::psWaiting) << "armed again";
    EXPECT_TRUE(Packet->Enabled());
    EXPECT_EQ(Packet->Manager()->State().CollectedCount, 0);
}

TEST_F(DataPacket, FrameSplitOverBlocksGivesOneEvent)
{
    EXPECT_EQ(FramesOf({StatusFrame.substr(0, 5), StatusFrame.substr(5, 30), StatusFrame.substr(35)}),
              Texts{StatusFrame});
}

TEST_F(DataPacket, TwoFramesInOneBlockArriveInOrder)
{
    EXPECT_EQ(FramesOf({"@one*junk@two*"}), (Texts{"@one*", "@two*"}));
    // While collecting, a further start string is ordinary data.
    EXPECT_EQ(FramesOf({"@a@b*"}), Texts{"@a@b*"});
}

TEST_F(DataPacket, WithoutIncludeStringsOnlyTheBytesBetweenTheDelimiters)
{
    Reconfigure([](TKivDataPacket& p) {
        p.SetIncludeStrings(false);
        p.SetStartString("<<");
        p.SetEndString(">>");
    });
    EXPECT_EQ(FramesOf({"x<<inside>>y", "<<>>"}), (Texts{"inside", ""}));
}

TEST_F(DataPacket, IgnoreCaseUpperCasesAsciiLettersOnly)
{
    Reconfigure([](TKivDataPacket& p) { p.SetStartString("ab"); });
    EXPECT_EQ(FramesOf({"AB1*", "aB2*", "ab3*"}), (Texts{"AB1*", "aB2*", "ab3*"}));

    Reconfigure([](TKivDataPacket& p) { p.SetIgnoreCase(false); });
    EXPECT_EQ(FramesOf({"AB1*", "aB2*", "ab3*"}), Texts{"ab3*"});

    // Latin-1 e-acute and E-acute are not a case pair here.
    Reconfigure([](TKivDataPacket& p) {
        p.SetIgnoreCase(true);
        p.SetStartString("\xE9");
    });
    EXPECT_EQ(FramesOf({"\xC9no*", "\xE9yes*"}), Texts{"\xE9yes*"});
}

// Bytes that cannot begin the end string pass unexamined while collecting;
// an end string that any byte, or either case of a letter, begins still
// ends the packet at its first occurrence.
TEST_F(DataPacket, TheEndStringIsFoundWhateverBeginsIt)
{
    Reconfigure([](TKivDataPacket& p) { p.SetEndString("X"); });
    EXPECT_EQ(FramesOf({"@ab", "cxd@efX"}), (Texts{"@abcx", "@efX"}));
    // The case rule changed while collecting: the packet keeps the arming's.
    Got = {};
    Port->Receive("@ab");
    Packet->SetIgnoreCase(false);
    Port->Receive("cxd");
    EXPECT_EQ(Got.Strings, Texts{"@abcx"});
    Packet->SetIgnoreCase(true);

    Reconfigure([](TKivDataPacket& p) { p.SetEndString("?;"); });
    EXPECT_EQ(FramesOf({"@abc;de;"}), Texts{"@abc;"});

    // A partial end match that fails restarts the search inside it.
    Reconfigure([](TKivDataPacket& p) { p.SetEndString("*#"); });
    EXPECT_EQ(FramesOf({"@a**", "#b*#"}), (Texts{"@a**#"}));
}

TEST_F(DataPacket, QuestionMarkIsAWildcardUnlessEscaped)
{
    Reconfigure([](TKivDataPacket& p) { p.SetStartString("a?c"); });
    EXPECT_EQ(FramesOf({"axc1*", "a?c2*"}), (Texts{"axc1*", "a?c2*"}));

    Reconfigure([](TKivDataPacket& p) { p.SetStartString("a\\?c"); });
    EXPECT_EQ(FramesOf({"axc1*", "a?c2*"}), Texts{"a?c2*"});

    Reconfigure([](TKivDataPacket& p) { p.SetStartString("\\\\x"); });
    EXPECT_EQ(FramesOf({"\\\\x1*", "x2*"}), Texts{"\\x1*"});
}

TEST_F(DataPacket, FailedPartialMatchIsRetriedFromTheNextByte)
{
    Reconfigure([](TKivDataPacket& p) {
        p.SetStartString("aab");
        p.SetEndCond({});
    });
    Port->Receive("xaaab");
    EXPECT_EQ(Got.Strings, Texts{"aab"});
    Reconfigure([](TKivDataPacket& p) { p.SetStartString("abac"); });
    EXPECT_EQ(FramesOf({"ababac"}), Texts{"abac"});

    Reconfigure([](TKivDataPacket& p) {
        p.SetStartString("@");
        p.SetEndCond({ecString});
        p.SetEndString("ab");
    });
    EXPECT_EQ(FramesOf({"@xaab", "@a", "ab"}), (Texts{"@xaab", "@aab"}));
}

TEST_F(DataPacket, EndBySizeByStringOrWhicheverComesFirst)
{
    Reconfigure([](TKivDataPacket& p) {
        p.SetEndCond({ecPacketSize});
        p.SetPacketSize(5);
    });
    EXPECT_EQ(FramesOf({"@123456789"}), Texts{"@1234"});

    Reconfigure([](TKivDataPacket& p) { p.SetEndCond({ecString, ecPacketSize}); });
    EXPECT_EQ(FramesOf({"@a*", "@abcdef*"}), (Texts{"@a*", "@abcd"}));

    // The byte that reaches the size ends the packet by size only, so its
    // end string stays in the data.
    Reconfigure([](TKivDataPacket& p) {
        p.SetPacketSize(3);
        p.SetIncludeStrings(false);
    });
    EXPECT_EQ(FramesOf({"@a*"}), Texts{"a*"});
}

TEST_F(DataPacket, StartStringAloneIsAPacketWithoutEndCondition)
{
    Reconfigure([](TKivDataPacket& p) {
        p.SetStartString("#");
        p.SetEndCond({});
    });
    EXPECT_EQ(FramesOf({"a#b#", "#"}), (Texts{"#", "#", "#"}));
}

TEST_F(DataPacket, AnyDataStartsAtTheFirstByte)
{
    Reconfigure([](TKivDataPacket& p) { p.SetStartCond(TPacketStartCond::scAnyData); });
    EXPECT_EQ(Packet->State(), TPacketState::psCollecting);
    EXPECT_EQ(FramesOf({"abc*de", "f*"}), (Texts{"abc*", "def*"}));
}

TEST_F(DataPacket, TimedOutPacketDropsItsBytesAndStaysDisabledUntilEnabledAgain)
{
    Reconfigure([](TKivDataPacket& p) { p.SetTimeOut(2); });
    Port->Receive("@no end");
    ASSERT_TRUE(WaitForTimeout(1));
    EXPECT_FALSE(Packet->Enabled());
    EXPECT_EQ(Packet->State(), TPacketState::psIdle);
    EXPECT_EQ(Packet->Manager()->State().CollectedCount, 0);
    EXPECT_TRUE(FramesOf({"@later*"}).empty()) << "no AutoEnable after a time-out";

    Packet->SetEnabled(true);
    EXPECT_EQ(FramesOf({" end*@fresh*"}), Texts{"@fresh*"});
}

TEST_F(DataPacket, TimeOutZeroCollectsWithoutLimit)
{
    Reconfigure([](TKivDataPacket& p) { p.SetTimeOut(0); });
    Port->Receive("@slow");
    // Far past the default time-out.
    win::SetTimeOffsetForTesting(10u * 60u * 1000u);
    Port->RunTimers();
    win::SetTimeOffsetForTesting(0);
    EXPECT_EQ(Got.Timeouts, 0);
    EXPECT_EQ(Packet->State(), TPacketState::psCollecting);
    Port->Receive(" but sure*");
    EXPECT_EQ(Got.Strings, Texts{"@slow but sure*"});
}

TEST_F(DataPacket, NumberChangeOfTheOpenPortKeepsTheTimeOutTimer)
{
    // Without a time-out the timer is only stopped, never armed again, so
    // nothing would make it anew if the reopening lost it.
    Reconfigure([](TKivDataPacket& p) { p.SetTimeOut(0); });
    Port->SetComNumber(8);
    ASSERT_TRUE(Port->Open());
    const int timer = Packet->Manager()->State().TimerHandle;
    ASSERT_GT(timer, 0);
    EXPECT_EQ(Port->Line->ArmTimerTrigger(timer, 0, false), 0) << "the timer trigger is gone";
    EXPECT_EQ(FramesOf({"@one*", "@two*"}), (Texts{"@one*", "@two*"}));
    EXPECT_TRUE(ErrorsShown().empty());
}

TEST_F(DataPacket, AttachingToAnOpenPortDoesNotArm)
{
    TScriptedPort* other = NewPort();
    OpenPort(other);
    Packet->SetComPort(other);
    EXPECT_TRUE(Packet->Enabled());
    EXPECT_EQ(Packet->State(), TPacketState::psIdle);
    other->Receive("@ignored*");
    EXPECT_TRUE(Got.Strings.empty());

    Packet->SetEnabled(false);
    Packet->SetEnabled(true);
    other->Receive("@seen*");
    EXPECT_EQ(Got.Strings, Texts{"@seen*"});
}

TEST_F(DataPacket, HandlerExceptionIsShownAndTheNextFrameStillArrives)
{
    int calls = 0;
    Packet->OnStringPacket = TStringPacketNotifyEvent::FromFunction([&](TObject*, const std::string&) {
        if (++calls == 1) throw Exception("the handler broke");
    });
    Port->Receive("@1*");
    Port->Receive("@2*");
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(Got.Blocks, (Texts{"@1*", "@2*"})) << "OnPacket comes first either way";
    EXPECT_EQ(ErrorsShown(), Texts{"the handler broke"});
}

TEST_F(DataPacket, DispatchLogRecordsTheStepsUnderThePacketsName)
{
    Packet->Name = "KivDataPacket1";
    Port->SetLogging(TTraceLogState::tlOn);
    Reconfigure([](TKivDataPacket& p) { p.SetTimeOut(2); });
    Port->Receive("@a*@b");
    ASSERT_TRUE(WaitForTimeout(1));
    TempDir dir("kivo-packet-log");
    const std::string file = (dir.Path() / "packet.log").string();
    Port->SetLogName(file);
    Port->SetLogging(TTraceLogState::tlDump);

    std::ifstream in(file);
    std::vector<std::string> steps;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string time, type, subType;
        if (fields >> time >> type >> subType && type == "Packet") steps.push_back(subType);
    }
    const Texts expected{
        "Idle",   "Disable",  "Enable",       "StartStr",     "Waiting", "EndStr",
        "Collecting", "Idle", "Disable",      "StringPacket", "StringPacket",
        "Enable", "StartStr", "Waiting",      "EndStr",       "Collecting",
        "Idle",   "Disable",  "PcktTimeout"};
    EXPECT_EQ(steps, expected);
}

} // namespace
} // namespace kivo::test

namespace kivo::test {
namespace {

// The string OnStringPacket gets is reused from packet to packet on a thread.
TEST_F(DataPacket, StringPacketsOfFallingLengthsCarryOnlyTheirOwnBytes)
{
    const std::string longFrame = "@" + std::string(300, 'L') + "*";
    EXPECT_EQ(FramesOf({longFrame + "@mid-length*@s*", "@*"}),
              (Texts{longFrame, "@mid-length*", "@s*", "@*"}));
}

TEST_F(DataPacket, ADeliveryNestedInAStringHandlerGetsAStringOfItsOwn)
{
    TScriptedPort* other = NewPort();
    TPacketRecord inner;
    TKivDataPacket* second = NewPacket(other, inner);
    OpenPort(other);
    std::vector<std::string> outerSeen;
    Packet->OnStringPacket = TStringPacketNotifyEvent::FromFunction(
        [&](TObject*, const std::string& data) {
            // The other port's packet is delivered while this text is in use.
            if (outerSeen.empty()) other->Receive("@inner-text-longer-than-the-outer*");
            outerSeen.push_back(data);
        });
    Port->Receive("@outer*@again*");
    EXPECT_EQ(outerSeen, (Texts{"@outer*", "@again*"}));
    EXPECT_EQ(inner.Strings, Texts{"@inner-text-longer-than-the-outer*"});
    EXPECT_TRUE(second->Enabled());
}

} // namespace
} // namespace kivo::test
