#pragma once
// The command line of kivo-bench and the device directory it opens its port
// through. The harness appends "--workload W --device PATH" to whatever the
// column's command holds; the smoke-test knobs come from the environment.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kivo::bench {

enum class TWorkload : unsigned char { wlCycle, wlLatency, wlThroughput, wlIdle };

struct TBenchArguments {
    TWorkload Workload = TWorkload::wlCycle;
    std::string Device;
    std::string Name = "kivo";
    long Cycles = 300;
    long IdleSeconds = 10;
};

// Nothing, with a reason in *error, when the line cannot be used. Later
// occurrences of an option win, as the harness appends its own last.
std::optional<TBenchArguments> ParseArguments(const std::vector<std::string>& args,
                                              std::string* error);

// BENCH_CYCLES and BENCH_IDLE_S as the other peers read them: a number
// clamped to [low, high], the default when unset or empty.
long EnvironmentNumber(const char* name, long fallback, long low, long high);

// A fresh directory whose "com<number>" links to the device, named by
// KIVO_DEVICE_DIR for as long as the object lives; removed with it.
class TDeviceDirectory {
public:
    TDeviceDirectory(const std::string& device, int comNumber);
    ~TDeviceDirectory();
    TDeviceDirectory(const TDeviceDirectory&) = delete;
    TDeviceDirectory& operator=(const TDeviceDirectory&) = delete;

    const std::filesystem::path& Path() const noexcept { return Root; }

private:
    std::filesystem::path Root;
};

} // namespace kivo::bench
