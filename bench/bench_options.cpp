// kivo-bench's arguments, environment knobs and device directory.

#include "bench/bench_options.h"

#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

namespace kivo::bench {

namespace {

// What a signal that ends the process removes: fixed buffers, as a handler
// may not allocate. The rig ends a late peer with SIGTERM, an operator with
// Ctrl-C; neither runs the destructor.
char LinkToRemove[PATH_MAX];
char RootToRemove[PATH_MAX];
constexpr int EndingSignals[] = {SIGTERM, SIGINT, SIGHUP};
struct sigaction HandlersBefore[std::size(EndingSignals)];

extern "C" void RemoveDeviceDirectoryAndEnd(int signal)
{
    ::unlink(LinkToRemove);
    ::rmdir(RootToRemove);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

std::optional<TWorkload> WorkloadNamed(const std::string& name)
{
    if (name == "cycle") return TWorkload::wlCycle;
    if (name == "latency") return TWorkload::wlLatency;
    if (name == "throughput") return TWorkload::wlThroughput;
    if (name == "idle") return TWorkload::wlIdle;
    return std::nullopt;
}

} // namespace

std::optional<TBenchArguments> ParseArguments(const std::vector<std::string>& args,
                                              std::string* error)
{
    auto fail = [&](std::string why) -> std::optional<TBenchArguments> {
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    TBenchArguments parsed;
    bool haveWorkload = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option != "--workload" && option != "--device" && option != "--name")
            return fail("unknown argument " + option);
        if (i + 1 >= args.size()) return fail(option + " wants a value");
        const std::string& value = args[++i];
        if (option == "--workload") {
            std::optional<TWorkload> workload = WorkloadNamed(value);
            if (!workload) return fail("unknown workload " + value);
            parsed.Workload = *workload;
            haveWorkload = true;
        } else if (option == "--device") {
            if (value.empty()) return fail("--device wants a path");
            parsed.Device = value;
        } else {
            if (value.empty()) return fail("--name wants a name");
            parsed.Name = value;
        }
    }
    if (!haveWorkload || parsed.Device.empty())
        return fail("usage: kivo-bench --workload cycle|latency|throughput|idle --device PATH");
    return parsed;
}

long EnvironmentNumber(const char* name, long fallback, long low, long high)
{
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    long value = std::strtol(text, nullptr, 10);
    if (value < low) return low;
    if (value > high) return high;
    return value;
}

TDeviceDirectory::TDeviceDirectory(const std::string& device, int comNumber)
{
    namespace fs = std::filesystem;
    std::random_device seed;
    std::mt19937_64 pick(seed());
    for (int attempt = 0; attempt < 16 && Root.empty(); ++attempt) {
        fs::path candidate = fs::temp_directory_path() / ("kivo-bench-" + std::to_string(pick()));
        std::error_code failed;
        if (fs::create_directory(candidate, failed)) Root = candidate;
    }
    if (Root.empty()) throw std::runtime_error("cannot make a device directory");
    std::error_code failed;
    const fs::path link = Root / ("com" + std::to_string(comNumber));
    fs::create_symlink(fs::absolute(device), link, failed);
    if (failed) {
        fs::remove_all(Root, failed);
        throw std::runtime_error("cannot link the device " + device);
    }
    ::setenv("KIVO_DEVICE_DIR", Root.c_str(), 1);
    if (link.native().size() < sizeof LinkToRemove) {
        std::strcpy(LinkToRemove, link.c_str());
        std::strcpy(RootToRemove, Root.c_str());
        struct sigaction remove {};
        remove.sa_handler = RemoveDeviceDirectoryAndEnd;
        sigemptyset(&remove.sa_mask);
        for (std::size_t i = 0; i < std::size(EndingSignals); ++i)
            ::sigaction(EndingSignals[i], &remove, &HandlersBefore[i]);
    }
}

TDeviceDirectory::~TDeviceDirectory()
{
    if (RootToRemove[0] != '\0') {
        for (std::size_t i = 0; i < std::size(EndingSignals); ++i)
            ::sigaction(EndingSignals[i], &HandlersBefore[i], nullptr);
        RootToRemove[0] = LinkToRemove[0] = '\0';
    }
    ::unsetenv("KIVO_DEVICE_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(Root, ignored);
}

} // namespace kivo::bench
