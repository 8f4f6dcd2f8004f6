// Arming a data packet: the settings that cannot frame anything, in the
// order they are checked, and what a refused arming leaves behind.

#include "serial/errors/exceptions.h"
#include "tests/packet/packet_rig.h"

#include <functional>
#include <optional>

namespace kivo::test {
namespace {

using enum TPacketEndCond;

struct TArmingCase {
    const char* Name;
    std::function<void(TKivDataPacket&)> Configure;
    int Code;
    const char* Message;
};

class Arming : public PacketRig, public ::testing::WithParamInterface<TArmingCase> {
protected:
    void SetUp() override
    {
        OpenPort(Port);
        Packet->SetEnabled(false);
    }

    // The code of the EInvalidProperty that enabling raised, if any.
    std::optional<int> EnableFailure(std::string* message = nullptr)
    {
        try {
            Packet->SetEnabled(true);
        } catch (const EInvalidProperty& error) {
            if (message) *message = error.Message();
            return error.ErrorCode;
        }
        return std::nullopt;
    }
};

TEST_P(Arming, RefusedWithItsCodeAndEnabledStaysFalse)
{
    GetParam().Configure(*Packet);
    std::string message;
    EXPECT_EQ(EnableFailure(&message), GetParam().Code);
    EXPECT_EQ(message, GetParam().Message);
    EXPECT_FALSE(Packet->Enabled());
    EXPECT_EQ(Packet->State(), TPacketState::psIdle);
    EXPECT_EQ(Packet->Manager()->State().Collector, nullptr);
}

const TArmingCase ArmingCases[] = {
    {"EmptyStartString", [](TKivDataPacket& p) { p.SetStartString(""); }, -5501,
     "Start string is empty"},
    // Reported before the empty end string that is also there.
    {"EmptyStartBeforeEmptyEnd",
     [](TKivDataPacket& p) {
         p.SetStartString("");
         p.SetEndString("");
     },
     -5501, "Start string is empty"},
    {"LoneBackslashStart", [](TKivDataPacket& p) { p.SetStartString("\\"); }, -5501,
     "Start string is empty"},
    {"SizeBelowStartString",
     [](TKivDataPacket& p) {
         p.SetStartString("@@@");
         p.SetEndCond({ecPacketSize});
         p.SetPacketSize(2);
     },
     -5502, "Packet size cannot be smaller than start string"},
    {"AnyDataWithoutEnd",
     [](TKivDataPacket& p) {
         p.SetStartCond(TPacketStartCond::scAnyData);
         p.SetEndCond({});
     },
     -5503, "CharCount packets must have an end-condition"},
    {"EmptyEndString", [](TKivDataPacket& p) { p.SetEndString(""); }, -5504, "End string is empty"},
    {"ZeroSize",
     [](TKivDataPacket& p) {
         p.SetEndCond({ecPacketSize});
         p.SetPacketSize(0);
         p.SetStartCond(TPacketStartCond::scAnyData);
     },
     -5505, "Packet size cannot be zero"},
    {"NegativeSize",
     [](TKivDataPacket& p) {
         p.SetEndCond({ecString, ecPacketSize});
         p.SetPacketSize(-4);
         p.SetStartCond(TPacketStartCond::scAnyData);
     },
     -5505, "Packet size cannot be zero"},
};
INSTANTIATE_TEST_SUITE_P(EverySetting, Arming, ::testing::ValuesIn(ArmingCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(Arming, ChangingTheEndOfAnEnabledPacketReArmsOrRaises)
{
    ASSERT_FALSE(EnableFailure());
    Packet->SetEndString("#");
    EXPECT_TRUE(Packet->Enabled());
    Port->Receive("@a*b#");
    EXPECT_EQ(Got.Strings, std::vector<std::string>{"@a*b#"});

    try {
        Packet->SetEndString("");
        FAIL() << "no exception";
    } catch (const EInvalidProperty& error) {
        EXPECT_EQ(error.ErrorCode, -5504);
    }
    EXPECT_FALSE(Packet->Enabled());
    EXPECT_EQ(Packet->EndString(), "") << "stored all the same";
}

TEST_F(Arming, WhileLoadingTheArmingWaitsForTheEndOfLoading)
{
    Port->SetOpen(false);
    Packet->SetEnabled(true);
    TPacketRecord got;
    auto* packet = new TKivDataPacket(&Form);
    Record(packet, got);
    packet->BeginLoading();
    packet->SetStartString("");  // not checked until loading ends
    packet->SetEnabled(true);
    packet->SetComPort(Port);
    EXPECT_TRUE(packet->Enabled());
    EXPECT_TRUE(packet->Match().EnablePending);
    packet->EndLoading();
    // With the port closed the end of loading arms nothing, so nothing fails yet.
    EXPECT_TRUE(packet->Enabled());
    EXPECT_TRUE(ErrorsShown().empty());

    // The opening arms it; the refusal is shown and the packet turned off.
    OpenPort(Port);
    EXPECT_FALSE(packet->Enabled());
    EXPECT_EQ(ErrorsShown(), std::vector<std::string>{"Start string is empty"});
    EXPECT_EQ(Packet->State(), TPacketState::psWaiting) << "its neighbour is armed all the same";
}

} // namespace
} // namespace kivo::test
