// kivo-bench's command line, its environment knobs and its device directory.

#include "bench/bench_options.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace kivo::bench {
namespace {

TEST(BenchArguments, TakesTheWorkloadAndDeviceTheHarnessAppends)
{
    std::string error;
    auto args = ParseArguments({"--name", "mine", "--workload", "throughput", "--device",
                                "/dev/pts/9"},
                               &error);
    ASSERT_TRUE(args) << error;
    EXPECT_EQ(args->Workload, TWorkload::wlThroughput);
    EXPECT_EQ(args->Device, "/dev/pts/9");
    EXPECT_EQ(args->Name, "mine");
    auto later = ParseArguments({"--workload", "cycle", "--device", "a", "--workload", "idle",
                                 "--device", "b"},
                                &error);
    ASSERT_TRUE(later) << error;
    EXPECT_EQ(later->Workload, TWorkload::wlIdle);
    EXPECT_EQ(later->Device, "b");
}

TEST(BenchArguments, RefusesWhatItCannotRunWithAReason)
{
    std::string error;
    EXPECT_FALSE(ParseArguments({"--workload", "cycle"}, &error));
    EXPECT_NE(error.find("usage"), std::string::npos);
    EXPECT_FALSE(ParseArguments({"--device", "/dev/pts/1"}, &error));
    EXPECT_FALSE(ParseArguments({"--workload", "soak", "--device", "x"}, &error));
    EXPECT_NE(error.find("soak"), std::string::npos);
    EXPECT_FALSE(ParseArguments({"--workload", "cycle", "--device"}, &error));
    EXPECT_NE(error.find("value"), std::string::npos);
    EXPECT_FALSE(ParseArguments({"--workload", "cycle", "--device", "x", "--fast"}, &error));
    EXPECT_NE(error.find("--fast"), std::string::npos);
}

TEST(EnvironmentNumber, ClampsAndFallsBackWhenUnset)
{
    ::unsetenv("KIVO_BENCH_TEST_KNOB");
    EXPECT_EQ(EnvironmentNumber("KIVO_BENCH_TEST_KNOB", 300, 1, 1000), 300);
    ::setenv("KIVO_BENCH_TEST_KNOB", "", 1);
    EXPECT_EQ(EnvironmentNumber("KIVO_BENCH_TEST_KNOB", 300, 1, 1000), 300);
    ::setenv("KIVO_BENCH_TEST_KNOB", "50", 1);
    EXPECT_EQ(EnvironmentNumber("KIVO_BENCH_TEST_KNOB", 300, 1, 1000), 50);
    ::setenv("KIVO_BENCH_TEST_KNOB", "0", 1);
    EXPECT_EQ(EnvironmentNumber("KIVO_BENCH_TEST_KNOB", 300, 1, 1000), 1);
    ::setenv("KIVO_BENCH_TEST_KNOB", "99999", 1);
    EXPECT_EQ(EnvironmentNumber("KIVO_BENCH_TEST_KNOB", 300, 1, 1000), 1000);
    ::unsetenv("KIVO_BENCH_TEST_KNOB");
}

TEST(DeviceDirectory, LinksTheDeviceAsComNumberAndGoesAway)
{
    namespace fs = std::filesystem;
    fs::path root;
    {
        TDeviceDirectory devices("/dev/null", 4);
        root = devices.Path();
        ASSERT_TRUE(fs::is_symlink(root / "com4"));
        EXPECT_EQ(fs::read_symlink(root / "com4"), "/dev/null");
        const char* named = std::getenv("KIVO_DEVICE_DIR");
        ASSERT_NE(named, nullptr);
        EXPECT_EQ(fs::path(named), root);
    }
    EXPECT_FALSE(fs::exists(root));
    EXPECT_EQ(std::getenv("KIVO_DEVICE_DIR"), nullptr);
}

TEST(DeviceDirectory, GoesAwayWhenASignalEndsTheProcess)
{
    namespace fs = std::filesystem;
    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TDeviceDirectory devices("/dev/null", 1);
        std::string path = devices.Path().string() + "\n";
        if (::write(channel[1], path.data(), path.size()) < 0) ::_exit(2);
        for (;;) ::pause();
    }
    ::close(channel[1]);
    std::string path;
    char c = 0;
    while (::read(channel[0], &c, 1) == 1 && c != '\n') path += c;
    ::close(channel[0]);
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(fs::is_symlink(fs::path(path) / "com1"));
    ::kill(child, SIGTERM);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    const bool left = fs::exists(fs::symlink_status(path));
    std::error_code ignored;
    fs::remove_all(path, ignored);
    EXPECT_FALSE(left) << path << " was left behind";
}

} // namespace
} // namespace kivo::bench
