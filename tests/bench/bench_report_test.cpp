// scripts/bench's verdict (bench/bench_report.py) on harness runs made up
// here: a run that lost packets, lacks a column or lacks the reference must
// fail, and the data packet's allocations are judged, not only printed. And
// scripts/bench itself, interrupted while a harness of its own runs a rig.

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>
#include <string>
#include <vector>

namespace kivo::bench {
namespace {

// peer -> row label -> median of the valid repetitions (one each here).
using TFigures = std::map<std::string, std::map<std::string, double>>;

TFigures CompleteFigures()
{
    TFigures figures;
    auto set = [&](const std::string& peer, double cycle, double cycleP99, double latency,
                   double latencyP99, double throughput, double idle) {
        figures[peer] = {{"cycle median", cycle},     {"cycle p99", cycleP99},
                         {"latency median", latency}, {"latency p99", latencyP99},
                         {"throughput", throughput},  {"idle CPU", idle}};
    };
    set("rawc", 30, 80, 50, 120, 2.5e6, 0.01);
    set("pyserial", 400, 800, 90, 300, 5e5, 0.02);
    set("node-serialport", 250, 2000, 180, 1500, 3e5, 0.3);
    set("qt", 500, 900, 60, 300, 2.3e6, 0.02);
    set("libserialport", 50, 120, 45, 140, 2.3e6, 0.01);
    set("rawc-control", 31, 81, 51, 121, 2.4e6, 0.01);
    set("kivo", 100, 300, 90, 300, 150000, 0.05);
    set("floor", 90, 200, 80, 250, 400000, 0.01);
    set("floor-calls", 95, 220, 85, 260, 380000, 0.01);
    return figures;
}

struct TRun {
    TFigures Figures = CompleteFigures();
    std::string Problems = "{}";  // peer -> "workload rep N" -> reasons
    std::string Workloads = "cycle latency throughput idle";
    double AllocsPerKiB = 0.01;
    std::string SyncCall = R"("real_time":3.0,"time_unit":"us")";
    std::string MoreBenchmarks;  // ",{...}" after the two the targets need
    std::vector<std::string> Args;
};

struct TVerdict {
    int Status = -1;
    std::string Out;
    std::string Err;
};

TVerdict Judge(const TRun& run)
{
    EXPECT_EQ(std::system("command -v python3 >/dev/null"), 0)
        << "python3 is missing; scripts/deps installs it";
    test::TempDir dir("kivo-bench-report");
    std::string rows;
    const char* labels[] = {"cycle median", "cycle p99",  "latency median",
                            "latency p99",  "throughput", "idle CPU"};
    for (const char* label : labels) {
        std::string cells;
        for (const auto& [peer, values] : run.Figures) {
            auto value = values.find(label);
            if (value == values.end()) continue;
            cells += std::string(cells.empty() ? "" : ",") + "\"" + peer + "\":{\"median\":" +
                     std::to_string(value->second) + ",\"reps\":[" +
                     std::to_string(value->second) + "]}";
        }
        rows += std::string(rows.empty() ? "" : ",") + "\"" + label + "\":{" + cells + "}";
    }
    dir.Write("summary.json", "{\"reference\":\"rawc\",\"rows\":{" + rows +
                                  "},\"problems\":" + run.Problems + "}");
    dir.Write("table.md", "| metric (unit) | rawc |\n|---|---|\n\nPer-repetition values:\n");
    std::string env = "date: 2026-12-10T00:00:00Z\nreps: 1  workloads: " + run.Workloads +
                      "  quick: 1  pin: none\n";
    for (const auto& [peer, values] : run.Figures) env += "peer " + peer + ": build/x\n";
    dir.Write("env.txt", env);
    dir.Write("peers.list", "# name | command\nrawc | build/rawc\npyserial | @PYTHON@ p.py\n"
                            "node-serialport| node p.js\nqt | build/qtpeer\n"
                            "libserialport | build/lsp\nrawc-control | build/rawc\n");
    dir.Write("microbench.json",
              "{\"benchmarks\":[{\"name\":\"BM_DataPacketMixedStream/65536\",\"real_time\":300,"
              "\"time_unit\":\"us\",\"bytes_per_second\":2.0e8,\"allocs_per_KiB\":" +
                  std::to_string(run.AllocsPerKiB) +
                  "},{\"name\":\"BM_SynchronisedCall/0/real_time\"," + run.SyncCall + "}" +
                  run.MoreBenchmarks + "]}");
    std::string command = "BENCH_SKIP_MICRO=0 python3 '" KIVO_BENCH_REPORT "' '" +
                          dir.Path().string() + "' '" + (dir / "microbench.json").string() +
                          "' '" + (dir / "peers.list").string() + "'";
    for (const std::string& arg : run.Args) command += " '" + arg + "'";
    command += " >'" + (dir / "out").string() + "' 2>'" + (dir / "err").string() + "'";
    int status = std::system(command.c_str());
    TVerdict verdict;
    verdict.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    verdict.Out = dir.Read("out");
    verdict.Err = dir.Read("err");
    return verdict;
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST(BenchReport, ACompleteValidRunPassesWithEveryTargetJudged)
{
    TVerdict verdict = Judge(TRun{});
    EXPECT_EQ(verdict.Status, 0) << verdict.Out << verdict.Err;
    EXPECT_FALSE(Has(verdict.Out, "not judged")) << verdict.Out;
    EXPECT_TRUE(Has(verdict.Out, "| cycle median below node-serialport | yes |")) << verdict.Out;
    EXPECT_TRUE(Has(verdict.Out, "| idle <= 0.1 % of a core | yes |")) << verdict.Out;
}

TEST(BenchReport, LostPacketsInOneRepetitionFailTheRunAndTheThroughputTarget)
{
    TRun run;
    run.Problems = R"({"kivo":{"throughput rep 2":["3 lost"]}})";
    TVerdict verdict = Judge(run);
    EXPECT_EQ(verdict.Status, 1) << verdict.Out;
    EXPECT_TRUE(Has(verdict.Out, "| throughput >= 100,000 packets/s, none lost | **no** |"))
        << verdict.Out;
    EXPECT_TRUE(Has(verdict.Err, "kivo runs left out")) << verdict.Err;
}

TEST(BenchReport, APeerThatNeverRanFailsTheRunInsteadOfDroppingItsComparison)
{
    TRun run;
    run.Figures.erase("pyserial");
    TVerdict verdict = Judge(run);
    EXPECT_EQ(verdict.Status, 1) << verdict.Out;
    EXPECT_TRUE(Has(verdict.Out, "| cycle median below pyserial | **not judged** |"))
        << verdict.Out;
    EXPECT_TRUE(Has(verdict.Err, "no valid cycle figure for pyserial (not run)")) << verdict.Err;
}

TEST(BenchReport, NoReferenceFiguresFailTheRunInsteadOfDroppingEveryRatio)
{
    TRun run;
    run.Figures.erase("rawc");
    run.Problems = R"({"rawc":{"cycle rep 1":["peer exit 1"]}})";
    TVerdict verdict = Judge(run);
    EXPECT_EQ(verdict.Status, 1) << verdict.Out;
    EXPECT_TRUE(Has(verdict.Out, "| cycle median <= 4x raw termios | **not judged** | no figure "
                                 "for rawc |"))
        << verdict.Out;
    EXPECT_TRUE(Has(verdict.Err, "no valid cycle figure for rawc (cycle rep 1: peer exit 1)"))
        << verdict.Err;
}

TEST(BenchReport, AWorkloadOrPeerLeftOutOnRequestIsNoFailure)
{
    TRun run;
    run.Workloads = "cycle";
    for (const char* peer : {"pyserial", "node-serialport", "qt", "libserialport", "rawc-control"})
        run.Figures.erase(peer);
    for (auto& [peer, rows] : run.Figures)
        std::erase_if(rows, [](const auto& row) { return row.first.rfind("cycle", 0) != 0; });
    run.Args = {"--only", "rawc", "--workloads", "cycle"};
    TVerdict verdict = Judge(run);
    EXPECT_EQ(verdict.Status, 0) << verdict.Out << verdict.Err;
    EXPECT_FALSE(Has(verdict.Out, "latency")) << verdict.Out;
}

TEST(BenchReport, AnAllocationPerByteMissesTheDataPacketTarget)
{
    TRun run;
    run.AllocsPerKiB = 1024;
    TVerdict verdict = Judge(run);
    EXPECT_TRUE(Has(verdict.Out, "| data packet >= 150 MB/s of mixed stream, no allocation per "
                                 "byte | **no** |"))
        << verdict.Out;
}

// A miss is the stack's own unless floor-calls, the same steps with no stack
// code, misses the bound as well in the same run.
TEST(BenchReport, AMissIsRuledOutOnlyWhereFloorCallsMissesToo)
{
    TRun run;
    run.Figures["kivo"]["cycle median"] = 150;          // x5
    run.Figures["floor-calls"]["cycle median"] = 130;   // x4.33
    run.Figures["kivo"]["latency median"] = 110;        // x2.2
    run.Figures["floor-calls"]["latency median"] = 95;  // x1.9
    TVerdict verdict = Judge(run);
    EXPECT_EQ(verdict.Status, 0) << verdict.Out << verdict.Err;
    EXPECT_TRUE(Has(verdict.Out, "| cycle median <= 4x raw termios | **no**, ruled out: "
                                 "floor-calls misses it too | 150.0 us = x5.00 |"))
        << verdict.Out;
    EXPECT_TRUE(Has(verdict.Out, "| latency median <= 2x raw termios | **no** | 110.0 us"))
        << verdict.Out;
}

TEST(BenchReport, AnyFailedMicroBenchmarkFailsTheRun)
{
    TRun run;
    run.MoreBenchmarks = R"(,{"name":"BM_LineThreadsStartStop/0/real_time","real_time":0,)"
                         R"("time_unit":"us","error_occurred":true,)"
                         R"("error_message":"an opening did not start the four threads"})";
    TVerdict verdict = Judge(run);
    EXPECT_EQ(verdict.Status, 1) << verdict.Out;
    EXPECT_TRUE(Has(verdict.Err, "BM_LineThreadsStartStop/0/real_time failed: an opening did not "
                                 "start the four threads"))
        << verdict.Err;
}

TEST(BenchReport, AFailedSynchronisedCallBenchmarkFailsTheRun)
{
    TRun run;
    run.SyncCall = R"("real_time":0,"time_unit":"us","error_occurred":true,)"
                   R"("error_message":"a call did not run")";
    TVerdict verdict = Judge(run);
    EXPECT_EQ(verdict.Status, 1) << verdict.Out;
    EXPECT_TRUE(Has(verdict.Out, "| synchronised call, threads left to the scheduler, <= 10 us | "
                                 "**not judged** | the benchmark failed: a call did not run |"))
        << verdict.Out;
}

// A process that still runs (a zombie has ended).
bool Running(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t end = text.rfind(") ");
    return end != std::string::npos && text[end + 2] != 'Z';
}

TEST(BenchScript, CtrlCStopsTheHarnessAndTheRigsAndPeersInTheirOwnProcessGroups)
{
    for (const char* tool : {"python3", "ps", "timeout", "setsid"})
        if (std::system(("command -v " + std::string(tool) + " >/dev/null").c_str()) != 0)
            GTEST_SKIP() << tool << " is missing; scripts/deps installs it";
    namespace fs = std::filesystem;
    using namespace std::chrono_literals;
    test::TempDir root("kivo-bench-script");
    fs::create_directories(root / "work/scripts");
    fs::create_directories(root / "shared/bench-peers");
    fs::create_directories(root / "tools");
    fs::copy_file(KIVO_BENCH_SCRIPT, root / "work/scripts/bench");
    // No build: a cmake that does nothing.
    root.Write("tools/cmake", "#!/bin/sh\nexit 0\n");
    // As the real harness: each rig under timeout (a process group of its
    // own), its peer in a group of its own again; three in a row.
    root.Write("shared/bench-peers/run-all.sh",
               "#!/usr/bin/env bash\ncd \"$(dirname \"$0\")\"\n"
               "for i in 1 2 3; do\n"
               "  timeout -k 5 20 sh -c 'setsid sleep 20 & echo $! > peer.'$i'; wait'\n"
               "done\n");
    fs::permissions(root / "tools/cmake", fs::perms::owner_all, fs::perm_options::add);
    fs::permissions(root / "shared/bench-peers/run-all.sh", fs::perms::owner_all,
                    fs::perm_options::add);
    const fs::path peers = root / "work/build/bench-release/bench-peers";

    pid_t script = ::fork();
    ASSERT_GE(script, 0);
    if (script == 0) {
        ::setpgid(0, 0);  // as a shell gives a job its own group, which Ctrl-C signals
        std::string path = (root / "tools").string() + ":" + std::getenv("PATH");
        ::setenv("PATH", path.c_str(), 1);
        ::setenv("BENCH_SKIP_MICRO", "1", 1);
        std::string bench = (root / "work/scripts/bench").string();
        ::execl("/bin/bash", "bash", bench.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::setpgid(script, script);
    int status = -1;
    bool ended = false;
    // Whatever the outcome, nothing of this test runs on after it.
    struct TCleanUp {
        std::function<void()> Run;
        ~TCleanUp() { Run(); }
    } cleanUp{[&] {
        if (!ended) {
            ::kill(-script, SIGKILL);
            ::waitpid(script, &status, 0);
        }
        for (const char* name : {"peer.1", "peer.2", "peer.3"}) {
            pid_t left = 0;
            std::ifstream in(peers / name);
            if (in >> left && left > 0 && Running(left)) ::kill(left, SIGKILL);
        }
    }};
    pid_t peer = 0;
    for (auto until = std::chrono::steady_clock::now() + 20s;
         !peer && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(50ms)) {
        std::ifstream in(peers / "peer.1");
        in >> peer;
    }
    ASSERT_GT(peer, 0) << "the harness never started its first rig";
    ASSERT_TRUE(Running(peer));

    ::kill(-script, SIGINT);
    for (auto until = std::chrono::steady_clock::now() + 10s;
         !ended && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(50ms))
        ended = ::waitpid(script, &status, WNOHANG) == script;
    const bool peerRan = Running(peer);
    const bool nextRig = fs::exists(peers / "peer.2");
    EXPECT_TRUE(ended) << "scripts/bench went on after Ctrl-C";
    EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 130);
    EXPECT_FALSE(peerRan) << "the rig's peer was left running";
    EXPECT_FALSE(nextRig) << "the harness started its next rig";
}

} // namespace
} // namespace kivo::bench
