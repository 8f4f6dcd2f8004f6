// kivo-bench: the serial stack as one more column of the peer harness.
//   kivo-bench [--name NAME] --workload cycle|latency|throughput|idle --device PATH

#include "bench/bench_options.h"
#include "bench/stack_peer.h"

#include <exception>
#include <iostream>

int main(int argc, char* argv[])
{
    using namespace kivo::bench;
    std::string error;
    std::optional<TBenchArguments> args =
        ParseArguments(std::vector<std::string>(argv + 1, argv + argc), &error);
    if (!args) {
        std::cerr << "kivo-bench: " << error << '\n';
        return 2;
    }
    try {
        TDeviceDirectory devices(args->Device, 1);
        TPeerOptions options;
        options.Name = args->Name;
        options.ComNumber = 1;
        options.Cycles = EnvironmentNumber("BENCH_CYCLES", 300, 1, 100000);
        options.IdleSeconds = EnvironmentNumber("BENCH_IDLE_S", 10, 1, 600);
        TStackPeer peer(options, std::cout);
        switch (args->Workload) {
        case TWorkload::wlCycle: return peer.RunCycle();
        case TWorkload::wlLatency: return peer.RunReceive(true);
        case TWorkload::wlThroughput: return peer.RunReceive(false);
        case TWorkload::wlIdle: return peer.RunIdle();
        }
    } catch (const std::exception& failure) {
        std::cerr << "kivo-bench: " << failure.what() << '\n';
    }
    return 1;
}
