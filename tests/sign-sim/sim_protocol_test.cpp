// The simulator as the program meets it: a child process, a comN link in a
// temporary device directory, frames in and packets out through the pty.

#include "tests/sign-sim/argument_rows.h"
#include "tests/sign-sim/sim_process.h"

#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace tarvio::sim::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;

const std::string Frame = "@12340999000015002000300040005000*";
const std::string Packet = "@ALIVE-1234 0999 0000 1500 2000 3000 4000 5000 OK *";

class SimulatedSign : public ::testing::Test {
protected:
    // Starts the simulator on comN of a fresh device directory with extra args.
    void Start(std::vector<std::string> extra = {}, int com = 1)
    {
        std::vector<std::string> args{"--device-dir", Dir.Path().string(), "--com",
                                      std::to_string(com), "--log", LogPath()};
        args.insert(args.end(), extra.begin(), extra.end());
        Sim = std::make_unique<SimProcess>(args);
        auto ready = Sim->WaitReady();
        ASSERT_TRUE(ready) << "no ready line; stderr: " << Sim->Stderr();
        Link = *ready;
        ASSERT_EQ(Link, (Dir.Path() / ("com" + std::to_string(com))).string());
    }

    void TearDown() override
    {
        if (Sim) {
            auto code = Sim->Stop(SIGTERM);
            EXPECT_EQ(code, 0) << Sim->Stderr();
        }
    }

    std::string LogPath() const { return (Dir / "traffic.log").string(); }
    std::string Log() const { return ReadFile(LogPath()); }
    bool WaitLog(const std::string& text, std::chrono::milliseconds timeout = 3s) const
    {
        return kivo::test::WaitUntil(timeout,
                                     [&] { return Log().find(text) != std::string::npos; });
    }

    bool WaitUntilLines(const std::string& text, std::size_t count,
                        std::chrono::milliseconds timeout = 3s) const
    {
        return kivo::test::WaitUntil(timeout, [&] {
            std::string log = Log();
            std::size_t seen = 0;
            for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
                ++seen;
            return seen >= count;
        });
    }

    kivo::test::TempDir Dir{"sim-proto"};
    std::unique_ptr<SimProcess> Sim;
    std::string Link;
};

TEST_F(SimulatedSign, AnswersAFrameWithTheStatusPacketByteForByte)
{
    Start();
    EXPECT_TRUE(fs::is_symlink(Link));
    ProgramEnd line(Link);
    line.Write(Frame);
    EXPECT_EQ(line.ReadExactly(Packet.size(), 3s), Packet);
    EXPECT_EQ(line.ReadUntilQuiet(150ms), "") << "one frame, one packet";
    EXPECT_TRUE(Sim->WaitStdout("prices 1234 0999 0000 1500 2000 3000 4000 5000\n"));
}

TEST_F(SimulatedSign, KeepsAnsweringWhenTheProgramReopensBeforeEveryFrame)
{
    Start();
    for (int round = 0; round < 4; ++round) {
        ProgramEnd line(Link);
        std::string price = std::to_string(1000 + round);
        std::string frame = "@" + price + "0999000015002000300040005000*";
        line.Write(frame);
        EXPECT_EQ(line.ReadExactly(51, 3s),
                  "@ALIVE-" + price + " 0999 0000 1500 2000 3000 4000 5000 OK *")
            << "round " << round;
    }
}

TEST_F(SimulatedSign, IgnoresNoiseAndAssemblesAFrameSentInPieces)
{
    Start();
    ProgramEnd line(Link);
    line.Write("junk*\r\n");
    line.Write(Frame.substr(0, 10));
    EXPECT_EQ(line.ReadUntilQuiet(150ms), "") << "half a frame is not answered";
    line.Write(Frame.substr(10) + "tail");
    EXPECT_EQ(line.ReadExactly(Packet.size(), 3s), Packet);
}

TEST_F(SimulatedSign, WrongLengthFrameIsLoggedAndNotAnswered)
{
    Start();
    ProgramEnd line(Link);
    line.Write("@1234099900001500200030004000500*");
    ASSERT_TRUE(WaitLog("bad 33 @1234099900001500200030004000500*"));
    EXPECT_EQ(line.ReadUntilQuiet(150ms), "");
    EXPECT_THAT(Sim->Stderr(), HasSubstr("ignored a frame of 33 bytes"));
    // The parser is back in step for the next proper frame.
    line.Write(Frame);
    EXPECT_EQ(line.ReadExactly(Packet.size(), 3s), Packet);
}

// Sets the rate as a program would: the pty's settings are one for all who
// have it open.
void SetProgramRate(const std::string& link, speed_t speed)
{
    int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << link;
    termios tio{};
    ASSERT_EQ(::tcgetattr(fd, &tio), 0);
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &tio), 0);
    ::close(fd);
}

// A real sign listens at 9600 only: a frame sent at another rate reaches it
// as garbage, and a program that set its line wrongly must get no answer.
TEST_F(SimulatedSign, FrameAtAnotherRateIsNotUnderstood)
{
    Start();
    ProgramEnd line(Link);
    for (auto [speed, shown] : {std::pair{B19200, "19200"}, std::pair{B1200, "1200"}}) {
        SetProgramRate(Link, speed);
        line.Write(Frame);
        EXPECT_TRUE(WaitLog(" garbled " + std::string(shown) + " baud @1234")) << shown;
        EXPECT_EQ(line.ReadUntilQuiet(150ms), "") << shown;
    }
    EXPECT_THAT(Sim->Stderr(), HasSubstr("a frame came at 19200 baud"));
    SetProgramRate(Link, B9600);
    line.Write(Frame);
    EXPECT_EQ(line.ReadExactly(Packet.size(), 3s), Packet);
}

TEST_F(SimulatedSign, AnswersWithTheChosenStatusAndSeparator)
{
    Start({"--status", "OK1", "--separator", "-"});
    ProgramEnd line(Link);
    line.Write(Frame);
    EXPECT_EQ(line.ReadExactly(51, 3s), "@ALIVE-1234-0999-0000-1500-2000-3000-4000-5000-OK1*");
}

TEST_F(SimulatedSign, LogHasOneTimestampedLinePerEventInOrder)
{
    Start();
    {
        ProgramEnd line(Link);
        line.Write(Frame);
        ASSERT_EQ(line.ReadExactly(51, 3s), Packet);
    }
    ASSERT_TRUE(WaitLog(" out "));
    auto code = Sim->Stop(SIGTERM);
    EXPECT_EQ(code, 0);
    Sim.reset();
    const std::string stamp = R"([0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}\.[0-9]{3})";
    EXPECT_THAT(Log(), ContainsRegex("^" + stamp + " start " + Link + " /dev/pts/[0-9]+\n" +
                                     stamp + " in @12340999000015002000300040005000\\*\n" +
                                     stamp + " out @ALIVE-1234 0999 0000 1500 2000 3000 4000 " +
                                     "5000 OK \\*\n" + stamp + " stop\n$"));
}

TEST_F(SimulatedSign, SendsUnsolicitedPacketsAtTheInterval)
{
    Start({"--interval", "0.2"});
    ProgramEnd line(Link);
    auto begin = std::chrono::steady_clock::now();
    std::string two = line.ReadExactly(102, 3s);
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(two, "@ALIVE-0000 0000 0000 0000 0000 0000 0000 0000 OK *"
                   "@ALIVE-0000 0000 0000 0000 0000 0000 0000 0000 OK *");
    EXPECT_GE(took, 250ms) << "two packets 200 ms apart";
    // After a frame the ticks carry the new prices.
    line.Write(Frame);
    EXPECT_EQ(line.ReadExactly(51, 3s), Packet);
    EXPECT_EQ(line.ReadExactly(51, 3s), Packet);
}


TEST_F(SimulatedSign, UnsolicitedPacketsNobodyReadsAreNotStoredUp)
{
    Start({"--interval", "0.05"});
    // Several ticks with the program away, as on a line with nobody listening.
    ASSERT_TRUE(WaitLog(" discarded 51\n"));
    ASSERT_TRUE(WaitUntilLines(" out ", 6));
    ProgramEnd line(Link);
    EXPECT_LE(line.Queued(), 51u) << "at most the latest packet waits";
    std::string got = line.ReadExactly(51, 3s);
    EXPECT_EQ(got, "@ALIVE-0000 0000 0000 0000 0000 0000 0000 0000 OK *");
}

TEST_F(SimulatedSign, AnAnswerNotYetReadWhenATickComesIsKept)
{
    Start({"--interval", "0.4"});
    ProgramEnd line(Link);
    ASSERT_EQ(line.ReadExactly(51, 3s).size(), 51u) << "the first tick sets the phase";
    auto tick = std::chrono::steady_clock::now();
    std::this_thread::sleep_until(tick + 300ms);
    line.Write(Frame);
    // A listening program busy for a moment reads its answer after the tick.
    std::this_thread::sleep_until(tick + 500ms);
    EXPECT_EQ(line.ReadUntilQuiet(100ms), Packet + Packet) << "the answer, then the tick's packet";
    EXPECT_EQ(Log().find(" discarded "), std::string::npos) << Log();
}

// A program that stops reading fills the line until the sign drops what it
// queued; what it leaves there must not be half an answer, which would glue
// to the next one and spoil it.
TEST_F(SimulatedSign, AnswersDroppedOnAFullLineLeaveNoCutPacket)
{
    Start({"--quiet"});
    ProgramEnd line(Link);
    for (int frame = 0; frame < 2500; ++frame) line.Write(Frame);
    ASSERT_TRUE(WaitLog(" dropped ", 15s));
    std::string left = line.ReadUntilQuiet(200ms);
    EXPECT_EQ(left.size() % Packet.size(), 0u) << "ends with " << left.substr(left.size() - std::min<std::size_t>(left.size(), 60));
    line.Write(Frame);
    EXPECT_EQ(line.ReadExactly(Packet.size(), 3s), Packet);
}

struct FaultCase {
    std::vector<std::string> Args;
    std::string Wire;
};

void PrintTo(const FaultCase& row, std::ostream* os)
{
    for (std::size_t i = 0; i < row.Args.size(); ++i) *os << (i ? " " : "") << row.Args[i];
}

class SimulatedSignFault : public SimulatedSign,
                           public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SimulatedSignFault, SendsExactlyTheFaultyBytes)
{
    Start(GetParam().Args);
    ProgramEnd line(Link);
    line.Write(Frame);
    EXPECT_EQ(line.ReadExactly(GetParam().Wire.size(), 3s), GetParam().Wire);
    EXPECT_EQ(line.ReadUntilQuiet(200ms), "") << "nothing after the faulty answer";
}

INSTANTIATE_TEST_SUITE_P(
    EachMode, SimulatedSignFault,
    ::testing::Values(
        FaultCase{{"--fault", "lowercase"}, "@alive-1234 0999 0000 1500 2000 3000 4000 5000 OK *"},
        FaultCase{{"--fault", "short"}, "@ALIVE-1234 0999 0000 1500 2000 3000 4000 5000OK *"},
        FaultCase{{"--fault", "lone-at"}, "@"},
        FaultCase{{"--noise"}, std::string("\r\n\0\xa5#noise#", 11) + Packet + "\x7f\xfe\r\n"},
        FaultCase{{"--noise", "--fault", "lowercase", "--chunk", "7", "--chunk-delay", "5"},
                  std::string("\r\n\0\xa5#noise#", 11) +
                      "@alive-1234 0999 0000 1500 2000 3000 4000 5000 OK *\x7f\xfe\r\n"}),
    [](const auto& info) { return RowName(info.index, info.param.Args); });

TEST_F(SimulatedSign, SilentFaultShowsAndLogsTheFrameButNeverAnswers)
{
    Start({"--fault", "silent", "--interval", "0.1"});
    ProgramEnd line(Link);
    line.Write(Frame);
    ASSERT_TRUE(WaitLog(" in @1234"));
    ASSERT_TRUE(WaitLog(" silent"));
    EXPECT_EQ(line.ReadUntilQuiet(400ms), "");
    EXPECT_TRUE(Sim->WaitStdout("prices 1234 0999"));
    EXPECT_EQ(Log().find(" out "), std::string::npos);
}

TEST_F(SimulatedSign, ChunkedAnswerArrivesInPiecesWithTheDelayBetween)
{
    Start({"--chunk", "10", "--chunk-delay", "200"});
    ProgramEnd line(Link);
    line.Write(Frame);
    std::string first = line.ReadExactly(1, 3s);
    auto begin = std::chrono::steady_clock::now();
    // The rest of the first piece is already there; the next one is 200 ms off.
    first += line.ReadUntilQuiet(60ms);
    EXPECT_EQ(first, Packet.substr(0, 10));
    std::string rest = line.ReadExactly(41, 5s);
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(first + rest, Packet);
    EXPECT_GE(took, 4 * 200ms - 50ms) << "five more pieces, 200 ms apart";
    ASSERT_TRUE(WaitLog(" out " + Packet)) << "logged once the last piece is out";
}

TEST_F(SimulatedSign, StopSignalsEndItCleanlyAndRemoveTheLink)
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        Start();
        ASSERT_TRUE(fs::is_symlink(Link));
        EXPECT_EQ(Sim->Stop(sig), 0) << "signal " << sig << ": " << Sim->Stderr();
        EXPECT_FALSE(fs::exists(fs::symlink_status(Link))) << "signal " << sig;
        EXPECT_THAT(Log(), ContainsRegex(" stop\n$"));
        Sim.reset();
    }
}

TEST_F(SimulatedSign, ReplacesAStaleLinkButLeavesAnotherFileAlone)
{
    fs::create_symlink("/dev/pts/nonexistent-stale", Dir / "com2");
    Start({}, 2);
    EXPECT_NE(fs::read_symlink(Link), "/dev/pts/nonexistent-stale");
    ProgramEnd line(Link);
    line.Write(Frame);
    EXPECT_EQ(line.ReadExactly(51, 3s), Packet);
    line.Close();
    EXPECT_EQ(Sim->Stop(SIGTERM), 0);
    Sim.reset();

    Dir.Write("com3", "not a link");
    SimProcess sim({"--device-dir", Dir.Path().string(), "--com", "3"});
    EXPECT_EQ(sim.WaitExit(), 1);
    EXPECT_THAT(sim.Stderr(), HasSubstr("com3 exists and is not a link"));
    EXPECT_EQ(Dir.Read("com3"), "not a link");

    // A port mapping of the operator's (an adapter's number, unplugged or not)
    // is no simulator's leftover: replacing it, then removing it on exit, would
    // lose it.
    for (const fs::path& device : {Dir / "serial" / "by-id" / "usb-unplugged-if00-port0",
                                   fs::path("/dev/null")}) {
        fs::remove(Dir / "com4");
        fs::create_symlink(device, Dir / "com4");
        SimProcess mapped({"--device-dir", Dir.Path().string(), "--com", "4"});
        EXPECT_EQ(mapped.WaitExit(), 1) << device;
        EXPECT_THAT(mapped.Stderr(), HasSubstr("com4 leads to " + device.string())) << device;
        EXPECT_EQ(fs::read_symlink(Dir / "com4"), device);
    }
}

TEST_F(SimulatedSign, LinkOfAnotherSimulatorIsNotRemovedOnExit)
{
    Start();
    // A second simulator takes the name over; the first must not delete it.
    SimProcess second({"--device-dir", Dir.Path().string(), "--com", "1", "--quiet"});
    ASSERT_TRUE(second.WaitReady());
    auto target = fs::read_symlink(Link);
    EXPECT_EQ(Sim->Stop(SIGTERM), 0);
    Sim.reset();
    ASSERT_TRUE(fs::is_symlink(Link));
    EXPECT_EQ(fs::read_symlink(Link), target);
    ProgramEnd line(Link);
    line.Write(Frame);
    EXPECT_EQ(line.ReadExactly(51, 3s), Packet);
    line.Close();
    EXPECT_EQ(second.Stop(SIGTERM), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Link)));
}

// Started with its output on a pipe nobody drains, it must still answer, and
// still end on SIGTERM.
TEST_F(SimulatedSign, OutputNobodyReadsNeitherHoldsUpTheLineNorTheStop)
{
    Start({"--plain"});
    Sim->ShrinkPipes();
    ProgramEnd line(Link);
    // Far more than the pipes hold: a line of stdout and one of stderr each.
    for (int round = 0; round < 600; ++round) {
        line.Write("@12*");
        line.Write(Frame);
        ASSERT_EQ(line.ReadExactly(Packet.size(), 3s), Packet) << "round " << round;
    }
    EXPECT_EQ(Sim->Stop(SIGTERM), 0);
    const std::string log = Log();
    EXPECT_NE(log.find(" unshown "), std::string::npos) << log.substr(log.size() - 200);
    EXPECT_THAT(Sim->Stdout(), HasSubstr("ready " + Link + "\nprices 1234 0999"));
}

TEST_F(SimulatedSign, QuietPrintsOnlyTheReadyLine)
{
    Start({"--quiet"});
    ProgramEnd line(Link);
    line.Write("@12*");
    line.Write(Frame);
    ASSERT_EQ(line.ReadExactly(51, 3s), Packet);
    ASSERT_TRUE(WaitLog(" out "));
    EXPECT_EQ(Sim->Stdout(), "ready " + Link + "\n");
    EXPECT_EQ(Sim->Stderr(), "");
}

} // namespace
} // namespace tarvio::sim::test
