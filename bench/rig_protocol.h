#pragma once
// The far end's wire protocol, as the peer harness in bench-peers defines it:
// the 51-byte status frame the rig sends, the 34-byte price frame we send,
// nearest-rank percentiles, the receive bookkeeping of the latency and
// throughput workloads, the idle workload's count, and the one JSON result
// line each workload prints. Plain functions and values, no I/O beyond
// writing a finished line; the bookkeeping is the main thread's, like the
// packet handler that feeds it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::bench {

inline constexpr std::size_t StatusLength = 51;
inline constexpr std::size_t PriceLength = 34;
// The rig's stamps are its monotonic clock modulo 10^15 ns (about 11.5 days);
// differences are taken modulo the same.
inline constexpr std::uint64_t StampModulus = 1'000'000'000'000'000ULL;
inline constexpr std::uint64_t ThroughputWindow = 10'000;

// The system-wide monotonic clock the rig reads too (libstdc++'s steady
// clock is CLOCK_MONOTONIC), in nanoseconds.
inline std::uint64_t NowNs()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// now - then, where then was taken modulo StampModulus.
constexpr std::uint64_t StampDiff(std::uint64_t nowNs, std::uint64_t thenModulo)
{
    return (nowNs % StampModulus + StampModulus - thenModulo % StampModulus) % StampModulus;
}

struct TStatusFrame {
    std::uint64_t Sequence = 0;
    std::uint64_t Stamp = 0;  // rig's clock modulo StampModulus
    std::uint64_t Total = 0;
    std::string Status;       // "LAT", "THR" or "CYC"
};

// "@ALIVE-" + eight 4-digit fields each followed by a space + status + "*".
std::string MakeStatusFrame(std::uint64_t sequence, std::uint64_t stampNs, std::uint64_t total,
                            std::string_view status);
// Nothing unless frame is exactly one well-formed status frame.
std::optional<TStatusFrame> ParseStatusFrame(std::string_view frame);

// "@" + tag (4) + index (4 digits, modulo 10000) + the fixed prices + "*".
std::string MakePriceFrame(std::string_view tag, unsigned index);

// Sorts values; q in (0, 1]: the value at rank ceil(q * n). 0 when empty.
double NearestRank(std::vector<double>& values, double q);

// Counts and orders what the rig's status frames bring in; one sample per
// frame for latency, one rate per ThroughputWindow frames for throughput.
// Storage is sized up front, so taking a frame allocates nothing.
class TReceiveBook {
public:
    TReceiveBook(std::size_t maxFrames, bool latency);

    // One complete frame reached the handler at nowNs. True when it was the
    // workload's last (sequence total - 1).
    bool Take(std::string_view frame, std::uint64_t nowNs);

    std::uint64_t Received() const noexcept { return ReceivedCount; }
    std::uint64_t Malformed() const noexcept { return MalformedCount; }
    std::uint64_t Duplicates() const noexcept { return DuplicateCount; }
    std::uint64_t Reordered() const noexcept { return ReorderedCount; }
    std::uint64_t Total() const noexcept { return TotalSeen; }
    std::uint64_t LastNs() const noexcept { return LastRxNs; }
    // What the frames announced, or fallback before any arrived.
    std::uint64_t Expected(std::uint64_t fallback) const noexcept
    {
        return TotalSeen ? TotalSeen : fallback;
    }
    std::uint64_t Lost(std::uint64_t fallback) const noexcept
    {
        std::uint64_t expected = Expected(fallback);
        return expected > ReceivedCount ? expected - ReceivedCount : 0;
    }
    // Every frame announced came once, whole and in order: what makes a run count.
    bool Whole(std::uint64_t fallback) const noexcept
    {
        return Lost(fallback) == 0 && MalformedCount == 0 && DuplicateCount == 0 &&
               ReorderedCount == 0;
    }

    // The result line of the workload ("latency" or "throughput").
    void Report(std::ostream& out, const std::string& peer, std::uint64_t fallbackTotal);

private:
    bool Latency;
    std::vector<bool> Seen;
    std::vector<double> Samples;  // latency in us, or window rates in frames/s
    std::uint64_t ReceivedCount = 0;
    std::uint64_t MalformedCount = 0;
    std::uint64_t DuplicateCount = 0;
    std::uint64_t ReorderedCount = 0;
    std::uint64_t NextExpected = 0;  // highest sequence seen + 1
    std::uint64_t TotalSeen = 0;
    std::uint64_t FirstAbsNs = 0;    // first frame's write time on our clock
    std::uint64_t WindowStartNs = 0;
    std::uint64_t LastRxNs = 0;
};

// The "count", "median", "p99", "min" and "max" members, without braces.
std::string StatsMembers(std::vector<double> values, int decimals);

void ReportCycle(std::ostream& out, const std::string& peer, std::vector<double> cycleUs,
                 long errors);

// cpuFraction over wall seconds, and one fraction per 1 s window.
void ReportIdle(std::ostream& out, const std::string& peer, double cpuSeconds,
                double wallSeconds, std::vector<double> windows);

// The idle workload's count: seconds windows of one second, each waited
// through by waitUntil (which serves the port meanwhile), and the CPU every
// thread of the process used in each, as the harness counts it.
struct TIdleFigures {
    double CpuSeconds = 0;
    double WallSeconds = 0;
    std::vector<double> Windows;
};
TIdleFigures MeasureIdle(long seconds,
                         const std::function<void(std::chrono::steady_clock::time_point)>& waitUntil);

} // namespace kivo::bench
