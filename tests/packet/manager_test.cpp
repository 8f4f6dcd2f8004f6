// The packet manager: one per port, its self-release, what it keeps of the
// received bytes and when it lets them go, and the port's open and close.

#include "platform/window.h"
#include "tests/packet/packet_rig.h"

#include <utility>

namespace kivo::test {
namespace {

using namespace std::string_literals;

class PacketManager : public PacketRig {};

TEST_F(PacketManager, OnePerPortSharedByThePacketsOfThatPort)
{
    TKivDataPacketManager* first = Packet->Manager();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(PacketManagers().FindManager(Port), first);

    TPacketRecord secondGot;
    TKivDataPacket* second = NewPacket(Port, secondGot);
    EXPECT_EQ(second->Manager(), first);
    EXPECT_EQ(first->State().PacketCount, 2u);

    TScriptedPort* other = NewPort();
    TPacketRecord otherGot;
    TKivDataPacket* third = NewPacket(other, otherGot);
    EXPECT_NE(third->Manager(), first);
    EXPECT_EQ(PacketManagers().FindManager(other), third->Manager());
    EXPECT_EQ(PacketManagers().Count(), 2u);
}

TEST_F(PacketManager, LastPacketLeavingReleasesItOnlyWhenThePostedMessageIsHandled)
{
    OpenPort(Port);
    TKivDataPacketManager* old = Packet->Manager();
    const std::size_t usersBefore = Port->PortUserCount();
    Packet->SetComPort(nullptr);
    EXPECT_EQ(Packet->Manager(), nullptr);
    // Gone from the port at once, in memory until its message runs.
    EXPECT_EQ(Port->PortUserCount(), usersBefore - 1);
    EXPECT_EQ(PacketManagers().FindManager(Port), nullptr);
    EXPECT_EQ(PacketManagers().Count(), 1u);
    EXPECT_FALSE(old->State().HandlerInstalled);

    // Attached again before that: a manager of its own, which hooks the open port.
    Packet->SetComPort(Port);
    TKivDataPacketManager* fresh = Packet->Manager();
    EXPECT_NE(fresh, old);
    EXPECT_EQ(PacketManagers().Count(), 2u);
    EXPECT_TRUE(fresh->State().Hooked);

    Pump();
    EXPECT_EQ(PacketManagers().Count(), 1u);
    EXPECT_EQ(PacketManagers().FindManager(Port), fresh);
    // The survivor still hears the port: frames arrive after a reopen.
    Port->SetOpen(false);
    OpenPort(Port);
    Port->Receive(StatusFrame);
    EXPECT_EQ(Got.Strings, std::vector<std::string>{StatusFrame});
}

TEST_F(PacketManager, BlockMatchingNoStartStringIsDroppedOnceOffered)
{
    OpenPort(Port);
    Port->Receive("no frame here, just text");
    TPacketManagerState state = Packet->Manager()->State();
    EXPECT_EQ(state.CollectedCount, 0);
    EXPECT_EQ(state.CollectedCapacity, 0) << "the buffer is freed";
    EXPECT_TRUE(Got.Strings.empty());
}

TEST_F(PacketManager, StartStringSplitAcrossTwoBlocksIsFound)
{
    Packet->SetEnabled(false);
    Packet->SetStartString("<<");
    Packet->SetEnabled(true);
    OpenPort(Port);
    Port->Receive("text<");
    // Kept, because a packet is part-way through its start string.
    EXPECT_EQ(Packet->Manager()->State().CollectedCount, 5);
    Port->Receive("<ok*");
    EXPECT_EQ(Got.Strings, std::vector<std::string>{"<<ok*"});
    EXPECT_EQ(Packet->Manager()->State().CollectedCount, 0);
}

TEST_F(PacketManager, CollectionBufferGrowsInSteps)
{
    OpenPort(Port);
    Port->SetAvailThreshold(4000);
    Port->Receive("@" + std::string(3999, 'a'));
    TPacketManagerState state = Packet->Manager()->State();
    ASSERT_EQ(state.CollectedCount, 4000);
    EXPECT_EQ(state.CollectedCapacity, 8192);
    EXPECT_EQ(state.Collector, Packet);

    Port->SetAvailThreshold(5000);
    Port->Receive(std::string(5000, 'b'));
    state = Packet->Manager()->State();
    EXPECT_EQ(state.CollectedCount, 9000);
    EXPECT_EQ(state.CollectedCapacity, 16384);

    Port->SetAvailThreshold(1);
    Port->Receive("*");
    ASSERT_EQ(Got.Strings.size(), 1u);
    EXPECT_EQ(Got.Strings[0], "@" + std::string(3999, 'a') + std::string(5000, 'b') + "*");
}

TEST_F(PacketManager, ThresholdStoredWhileThePortIsClosedHoldsAfterTheReopen)
{
    // Opened once without avail notifications, then given them back while
    // closed: the reopened line must not take the old threshold again.
    Port->SetAvailThreshold(0);
    OpenPort(Port);
    Port->SetOpen(false);
    Port->SetAvailThreshold(1);
    OpenPort(Port);
    Port->Receive(StatusFrame);
    EXPECT_EQ(Got.Strings, std::vector<std::string>{StatusFrame});
}

TEST_F(PacketManager, ClosingWhileCollectingDropsTheBytesAndStopsTheTimer)
{
    OpenPort(Port);
    Port->Receive("@half a frame");
    ASSERT_EQ(Packet->State(), TPacketState::psCollecting);
    ASSERT_TRUE(Packet->Match().OwnsTimer);

    Port->SetOpen(false);
    TPacketManagerState state = Packet->Manager()->State();
    EXPECT_FALSE(state.Hooked);
    EXPECT_EQ(state.CollectedCount, 0);
    EXPECT_EQ(state.Collector, nullptr);
    EXPECT_EQ(state.TimerHandle, 0);
    EXPECT_EQ(Packet->State(), TPacketState::psIdle);
    EXPECT_TRUE(Packet->Enabled());

    OpenPort(Port);
    EXPECT_EQ(Packet->State(), TPacketState::psWaiting);
    Port->Receive(" of the old one*@new*");
    EXPECT_EQ(Got.Strings, std::vector<std::string>{"@new*"});
}

TEST_F(PacketManager, CollectorAloneSeesBytesAndRestartsTheOthers)
{
    TPacketRecord otherGot;
    TKivDataPacket* other = NewPacket(Port, otherGot);
    other->SetEnabled(false);
    other->SetStartString("AB");
    other->SetEnabled(true);
    OpenPort(Port);
    // "A" starts the other's match; "@" makes this one the collector, which
    // restarts the other, so the "B" inside this frame is not its.
    Port->Receive("A");
    ASSERT_EQ(other->Match().PacketStart, 0);
    Port->Receive("@");
    EXPECT_EQ(other->Match().PacketStart, -1);
    EXPECT_EQ(other->State(), TPacketState::psWaiting);
    Port->Receive("B*");
    EXPECT_EQ(Got.Strings, std::vector<std::string>{"@B*"});
    EXPECT_TRUE(otherGot.Strings.empty());
    Port->Receive("AB*");
    EXPECT_EQ(otherGot.Strings, std::vector<std::string>{"AB*"});
}

TEST_F(PacketManager, PortDestroyedFirstLeavesThePacketDetached)
{
    OpenPort(Port);
    delete Port;
    Port = nullptr;
    EXPECT_EQ(Packet->ComPort(), nullptr);
    EXPECT_EQ(Packet->Manager(), nullptr);
    Pump();
    EXPECT_EQ(PacketManagers().Count(), 0u);
}

// The close that a port's destruction runs may free the packet: the port
// must not reach it afterwards as one still to be told of its end.
TEST_F(PacketManager, PacketFreedByTheCloseOfItsPortsDestructionIsNotReachedAgain)
{
    OpenPort(Port);
    int closes = 0;
    Port->OnPortClose = TNotifyEvent::FromFunction([&](TObject*) {
        ++closes;
        delete std::exchange(Packet, nullptr);
    });
    delete std::exchange(Port, nullptr);
    EXPECT_EQ(closes, 1);
    Pump();
    EXPECT_EQ(PacketManagers().Count(), 0u);
}

} // namespace
} // namespace kivo::test
