// The stack's column of the peer harness, run against a far end in this
// test that speaks the rig's protocol over a pseudo-terminal.

#include "bench/stack_peer.h"

#include "bench/rig_protocol.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace kivo::bench {
namespace {

using namespace std::chrono_literals;

// The number after "name": in a result line, or -1.
double Member(const std::string& line, const std::string& name)
{
    std::size_t at = line.find("\"" + name + "\":");
    if (at == std::string::npos) return -1;
    return std::strtod(line.c_str() + at + name.size() + 3, nullptr);
}

class StackPeer : public ::testing::Test {
protected:
    StackPeer()
    {
        Line.LinkAs(Devices.Path(), "com1");
        ::setenv("KIVO_DEVICE_DIR", Devices.Path().c_str(), 1);
        // Like the rig's keeper: the pty must not hang up while the port
        // closes and reopens.
        Keeper = ::open(Line.SubsidiaryPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        Options.SilenceLimit = 500ms;
        Options.NoDataLimit = 3000ms;
        Options.Settle = 100ms;
    }
    ~StackPeer() override
    {
        if (FarEnd.joinable()) FarEnd.join();
        if (Keeper >= 0) ::close(Keeper);
    }

    speed_t FarEndSpeed() const
    {
        termios settings{};
        if (::tcgetattr(Line.ControllerFd(), &settings) != 0) return 0;
        return ::cfgetospeed(&settings);
    }
    void ResetSpeed() const
    {
        termios settings{};
        if (::tcgetattr(Line.ControllerFd(), &settings) != 0) return;
        ::cfsetospeed(&settings, B38400);
        ::cfsetispeed(&settings, B38400);
        ::tcsetattr(Line.ControllerFd(), TCSANOW, &settings);
    }

    test::TempDir Devices{"kivo-bench"};
    test::PtyPair Line;
    int Keeper = -1;
    TPeerOptions Options;
    std::ostringstream Out;
    std::thread FarEnd;
};

TEST_F(StackPeer, CycleReopensConfiguresAndSendsEachFrameThenTimesItsAck)
{
    Options.Cycles = 5;
    std::atomic<int> configured{0};
    std::atomic<int> framesRight{0};
    FarEnd = std::thread([&] {
        for (unsigned i = 0; i < 5; ++i) {
            std::string frame = Line.ReadExactly(PriceLength, 3000ms);
            std::uint64_t stamp = NowNs();
            if (frame == MakePriceFrame("CYCL", i)) ++framesRight;
            if (FarEndSpeed() == B9600) ++configured;
            // As the rig does: the next cycle must configure the line again.
            ResetSpeed();
            Line.Write(MakeStatusFrame(i, stamp, 0, "CYC"));
        }
    });
    TStackPeer peer(Options, Out);
    EXPECT_EQ(peer.RunCycle(), 0) << Out.str();
    FarEnd.join();
    EXPECT_EQ(framesRight.load(), 5);
    EXPECT_EQ(configured.load(), 5);
    const std::string line = Out.str();
    EXPECT_NE(line.find("{\"peer\":\"kivo\",\"workload\":\"cycle\",\"unit\":\"us\",\"count\":5,"),
              std::string::npos)
        << line;
    EXPECT_EQ(Member(line, "errors"), 0);
    EXPECT_GT(Member(line, "min"), 0);
    EXPECT_FALSE(peer.Port().Open());
}

TEST_F(StackPeer, CycleWithoutAnAckCountsAnErrorAndFailsTheRun)
{
    Options.Cycles = 2;
    Options.AckLimit = 200ms;
    FarEnd = std::thread([&] {
        // Only the first cycle is acknowledged.
        std::string frame = Line.ReadExactly(PriceLength, 3000ms);
        Line.Write(MakeStatusFrame(0, NowNs(), 0, "CYC"));
        Line.ReadExactly(PriceLength, 3000ms);
    });
    TStackPeer peer(Options, Out);
    EXPECT_EQ(peer.RunCycle(), 1);
    FarEnd.join();
    EXPECT_EQ(Member(Out.str(), "count"), 1) << Out.str();
    EXPECT_EQ(Member(Out.str(), "errors"), 1) << Out.str();
}

TEST_F(StackPeer, FramesAmidNoiseReachTheHandlerEachOnceAndInOrder)
{
    constexpr unsigned Frames = 3000;
    FarEnd = std::thread([&] {
        if (Line.ReadExactly(PriceLength, 3000ms) != MakePriceFrame("REDY", 0)) return;
        std::string burst;
        for (unsigned i = 0; i < Frames; ++i) {
            burst += MakeStatusFrame(i, NowNs(), Frames, "THR");
            if (i % 7 == 0) burst += "xx";  // line noise between packets is dropped
            if (burst.size() > 4000 || i + 1 == Frames) {
                Line.Write(burst);
                burst.clear();
            }
        }
    });
    TStackPeer peer(Options, Out);
    EXPECT_EQ(peer.RunReceive(false), 0);
    FarEnd.join();
    const std::string line = Out.str();
    EXPECT_EQ(Member(line, "count"), Frames) << line;
    EXPECT_EQ(Member(line, "lost"), 0) << line;
    EXPECT_EQ(Member(line, "reordered"), 0) << line;
    EXPECT_EQ(Member(line, "duplicates"), 0) << line;
    EXPECT_EQ(Member(line, "malformed"), 0) << line;
    EXPECT_GT(Member(line, "fps"), 0) << line;
}

TEST_F(StackPeer, LatencyHasOneSampleForEveryPacket)
{
    constexpr unsigned Frames = 40;
    FarEnd = std::thread([&] {
        if (Line.ReadExactly(PriceLength, 3000ms) != MakePriceFrame("REDY", 0)) return;
        for (unsigned i = 0; i < Frames; ++i) Line.Write(MakeStatusFrame(i, NowNs(), Frames, "LAT"));
    });
    TStackPeer peer(Options, Out);
    EXPECT_EQ(peer.RunReceive(true), 0);
    FarEnd.join();
    const std::string line = Out.str();
    EXPECT_NE(line.find("\"workload\":\"latency\""), std::string::npos) << line;
    EXPECT_EQ(Member(line, "count"), Frames) << line;
    EXPECT_EQ(Member(line, "lost"), 0) << line;
    EXPECT_GT(Member(line, "min"), 0) << line;
}

TEST_F(StackPeer, ALostOrDoubledPacketFailsTheRunAsWellAsShowingInItsLine)
{
    FarEnd = std::thread([&] {
        if (Line.ReadExactly(PriceLength, 3000ms) != MakePriceFrame("REDY", 0)) return;
        // Frame 2 never comes, frame 1 comes twice.
        for (unsigned i : {0u, 1u, 1u, 3u}) Line.Write(MakeStatusFrame(i, NowNs(), 4, "LAT"));
    });
    TStackPeer peer(Options, Out);
    EXPECT_EQ(peer.RunReceive(true), 1);
    FarEnd.join();
    EXPECT_EQ(Member(Out.str(), "lost"), 1) << Out.str();
    EXPECT_EQ(Member(Out.str(), "duplicates"), 1) << Out.str();
}

TEST_F(StackPeer, ReceiveWithNoDataEndsAtItsLimitAndReportsEverythingLost)
{
    Options.NoDataLimit = 300ms;
    TStackPeer peer(Options, Out);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(peer.RunReceive(true), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(Member(Out.str(), "lost"), 1000) << Out.str();
    EXPECT_EQ(Line.ReadExactly(PriceLength, 1000ms), MakePriceFrame("REDY", 0));
}

TEST_F(StackPeer, IdleOpenPortWithArmedPacketStaysFarBelowOneCore)
{
    Options.IdleSeconds = 1;
    TStackPeer peer(Options, Out);
    EXPECT_EQ(peer.RunIdle(), 0);
    const std::string line = Out.str();
    EXPECT_EQ(Member(line, "count"), 1) << line;
    EXPECT_GE(Member(line, "wall_s"), 0.99) << line;
    // A thread that spins would show as most of a core.
    EXPECT_LT(Member(line, "cpu_frac"), 0.05) << line;
    EXPECT_GE(Member(line, "cpu_frac"), 0) << line;
}

TEST_F(StackPeer, AMissingDeviceFailsEveryCycleLoudly)
{
    ::setenv("KIVO_DEVICE_DIR", (Devices.Path() / "nowhere").c_str(), 1);
    std::filesystem::create_directory(Devices.Path() / "nowhere");
    Options.Cycles = 3;
    TStackPeer peer(Options, Out);
    EXPECT_EQ(peer.RunCycle(), 1);
    EXPECT_EQ(Member(Out.str(), "errors"), 3) << Out.str();
    EXPECT_EQ(Member(Out.str(), "count"), 0) << Out.str();
}

} // namespace
} // namespace kivo::bench
