// The executable's answers to its command line: usage errors exit 2 with the
// reason on stderr, help exits 0 on stdout, and set-up failures exit 1.

#include "tests/sign-sim/argument_rows.h"
#include "tests/sign-sim/sim_process.h"

#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tarvio::sim::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// A readable, unique test name from a row of arguments.
using ArgCase = tarvio::sim::test::ArgumentRow;
using tarvio::sim::test::RowName;

class SimArguments : public ::testing::TestWithParam<ArgCase> {};

TEST_P(SimArguments, ExitTwoWithTheReasonOnStderr)
{
    SimRun run = RunSim(GetParam().Args);
    EXPECT_EQ(run.ExitCode, 2);
    EXPECT_THAT(run.Stderr, StartsWith("tarvio-sign-sim: "));
    EXPECT_THAT(run.Stderr, HasSubstr(GetParam().Message));
    EXPECT_THAT(run.Stderr, HasSubstr("Try 'tarvio-sign-sim --help'."));
    EXPECT_EQ(run.Stdout, "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimArguments,
    ::testing::Values(ArgCase{{}, "say where the sign sits"},
                      ArgCase{{"--device-dir", "/tmp", "--status", "TOOLONG"}, "three characters"},
                      ArgCase{{"--bogus"}, "unknown option --bogus"}),
    [](const auto& info) { return RowName(info.index, info.param.Args); });

TEST(SimHelp, ExplainsItselfOnStdoutAndExitsZero)
{
    SimRun run = RunSim({"--help"});
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_THAT(run.Stdout, StartsWith("Usage: tarvio-sign-sim --device-dir DIR"));
    EXPECT_EQ(run.Stderr, "");
}

TEST(SimSetup, UnusableLogOrDirectoryExitsOneAndSaysWhy)
{
    kivo::test::TempDir dir("sim-args");
    dir.Write("file", "x");
    SimRun run = RunSim({"--device-dir", (dir / "file").string() + "/sub", "--quiet"});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_THAT(run.Stderr, HasSubstr("cannot make the device directory"));

    run = RunSim({"--device-dir", dir.Path().string(), "--log", (dir / "no/such/log").string()});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_THAT(run.Stderr, HasSubstr("cannot open the log"));
    EXPECT_FALSE(std::filesystem::exists(dir / "com1")) << "no link left behind";
}

TEST(SimSetup, MissingPortExitsOneAndNamesIt)
{
    kivo::test::TempDir dir("sim-args");
    std::string missing = (dir / "ttyNothing").string();
    SimRun run = RunSim({"--port", missing});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_THAT(run.Stderr, HasSubstr("cannot open " + missing + ": No such file"));
}

TEST(SimSetup, PortThatIsNotATerminalIsRefused)
{
    kivo::test::TempDir dir("sim-args");
    dir.Write("plain", "");
    SimRun run = RunSim({"--port", (dir / "plain").string()});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_THAT(run.Stderr, HasSubstr("is not a serial port"));
}

} // namespace
} // namespace tarvio::sim::test
