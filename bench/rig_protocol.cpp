// Frames, percentiles, receive bookkeeping and result lines of the rig protocol.

#include "bench/rig_protocol.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <ostream>

namespace kivo::bench {

namespace {

constexpr std::string_view StatusHead = "@ALIVE-";
constexpr std::string_view PriceBody = "123409990000150020003000";

void PutDigits(char* at, std::uint64_t value, int count)
{
    for (int i = count - 1; i >= 0; --i) {
        at[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

bool GetDigits(std::string_view text, std::size_t at, int count, std::uint64_t& value)
{
    std::uint64_t v = 0;
    for (int i = 0; i < count; ++i) {
        char c = text[at + static_cast<std::size_t>(i)];
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    value = v;
    return true;
}

// Eight digits as two 4-digit fields with one separator between them.
void Put8(char* at, std::uint64_t value)
{
    PutDigits(at, value / 10000 % 10000, 4);
    PutDigits(at + 5, value % 10000, 4);
}

bool Get8(std::string_view text, std::size_t at, std::uint64_t& value)
{
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    if (!GetDigits(text, at, 4, high) || !GetDigits(text, at + 5, 4, low)) return false;
    value = high * 10000 + low;
    return true;
}

std::string Format(const char* format, auto... values)
{
    char line[512];
    int n = std::snprintf(line, sizeof line, format, values...);
    return std::string(line, static_cast<std::size_t>(std::clamp(n, 0, int(sizeof line) - 1)));
}

} // namespace

std::string MakeStatusFrame(std::uint64_t sequence, std::uint64_t stampNs, std::uint64_t total,
                            std::string_view status)
{
    std::string frame(StatusLength, ' ');
    frame.replace(0, StatusHead.size(), StatusHead);
    Put8(frame.data() + 7, sequence);
    std::uint64_t stamp = stampNs % StampModulus;
    Put8(frame.data() + 17, stamp / 100'000'000ULL);
    Put8(frame.data() + 27, stamp % 100'000'000ULL);
    Put8(frame.data() + 37, total);
    frame.replace(47, 3, status.substr(0, 3));
    frame[50] = '*';
    return frame;
}

std::optional<TStatusFrame> ParseStatusFrame(std::string_view frame)
{
    if (frame.size() != StatusLength || frame.substr(0, StatusHead.size()) != StatusHead ||
        frame[50] != '*')
        return std::nullopt;
    for (std::size_t space = 11; space < 47; space += 5)
        if (frame[space] != ' ') return std::nullopt;
    TStatusFrame parsed;
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    if (!Get8(frame, 7, parsed.Sequence) || !Get8(frame, 17, high) || !Get8(frame, 27, low) ||
        !Get8(frame, 37, parsed.Total))
        return std::nullopt;
    parsed.Stamp = high * 100'000'000ULL + low;
    parsed.Status = std::string(frame.substr(47, 3));
    return parsed;
}

std::string MakePriceFrame(std::string_view tag, unsigned index)
{
    std::string frame(PriceLength, '0');
    frame[0] = '@';
    std::string tag4(tag.substr(0, 4));
    tag4.resize(4, ' ');
    frame.replace(1, 4, tag4);
    PutDigits(frame.data() + 5, index % 10000, 4);
    frame.replace(9, PriceBody.size(), PriceBody);
    frame[33] = '*';
    return frame;
}

double NearestRank(std::vector<double>& values, double q)
{
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    // The tolerance keeps q * n that is whole in decimal from rounding up a rank.
    auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(n) - 1e-9));
    rank = std::clamp<std::size_t>(rank, 1, n);
    return values[rank - 1];
}

// ---- Receive bookkeeping -------------------------------------------------------

TReceiveBook::TReceiveBook(std::size_t maxFrames, bool latency)
    : Latency(latency), Seen(maxFrames, false)
{
    Samples.reserve(latency ? maxFrames : maxFrames / ThroughputWindow + 1);
}

bool TReceiveBook::Take(std::string_view frame, std::uint64_t nowNs)
{
    std::optional<TStatusFrame> parsed = ParseStatusFrame(frame);
    if (!parsed || parsed->Sequence >= Seen.size()) {
        ++MalformedCount;
        return false;
    }
    if (ReceivedCount == 0) {
        FirstAbsNs = nowNs - StampDiff(nowNs, parsed->Stamp);
        WindowStartNs = FirstAbsNs;
    }
    TotalSeen = parsed->Total;
    LastRxNs = nowNs;
    if (Seen[parsed->Sequence]) {
        ++DuplicateCount;
        return false;
    }
    Seen[parsed->Sequence] = true;
    if (parsed->Sequence + 1 < NextExpected)
        ++ReorderedCount;
    else
        NextExpected = parsed->Sequence + 1;
    ++ReceivedCount;
    if (Latency) {
        if (Samples.size() < Samples.capacity())
            Samples.push_back(static_cast<double>(StampDiff(nowNs, parsed->Stamp)) / 1000.0);
    } else if (ReceivedCount % ThroughputWindow == 0) {
        double seconds = static_cast<double>(nowNs - WindowStartNs) / 1e9;
        if (Samples.size() < Samples.capacity())
            Samples.push_back(seconds > 0 ? static_cast<double>(ThroughputWindow) / seconds : 0.0);
        WindowStartNs = nowNs;
    }
    return parsed->Total > 0 && parsed->Sequence + 1 == parsed->Total;
}

void TReceiveBook::Report(std::ostream& out, const std::string& peer, std::uint64_t fallbackTotal)
{
    std::string line;
    if (Latency) {
        line = "{\"peer\":\"" + peer + "\",\"workload\":\"latency\",\"unit\":\"us\"," +
               StatsMembers(Samples, 3);
    } else {
        double elapsed = ReceivedCount ? static_cast<double>(LastRxNs - FirstAbsNs) / 1e9 : 0.0;
        double fps = elapsed > 0 ? static_cast<double>(ReceivedCount) / elapsed : 0.0;
        std::vector<double> rates = Samples;
        double median = NearestRank(rates, 0.5);
        // For rates the slow tail is the low end: "p99" is what 99 % of windows reach.
        double p99 = NearestRank(rates, 0.01);
        line = "{\"peer\":\"" + peer + "\",\"workload\":\"throughput\",\"unit\":\"frames/s\"," +
               Format("\"fps\":%.1f,\"elapsed_s\":%.4f,\"count\":%llu,\"median\":%.1f,"
                      "\"p99\":%.1f,\"min\":%.1f,\"max\":%.1f,\"windows\":%zu",
                      fps, elapsed, static_cast<unsigned long long>(ReceivedCount), median, p99,
                      rates.empty() ? 0.0 : rates.front(), rates.empty() ? 0.0 : rates.back(),
                      rates.size());
    }
    line += Format(",\"expected\":%llu,\"lost\":%llu,\"duplicates\":%llu,\"reordered\":%llu,"
                   "\"malformed\":%llu}",
                   static_cast<unsigned long long>(Expected(fallbackTotal)),
                   static_cast<unsigned long long>(Lost(fallbackTotal)),
                   static_cast<unsigned long long>(DuplicateCount),
                   static_cast<unsigned long long>(ReorderedCount),
                   static_cast<unsigned long long>(MalformedCount));
    out << line << '\n' << std::flush;
}

// ---- Result lines --------------------------------------------------------------------

std::string StatsMembers(std::vector<double> values, int decimals)
{
    double median = NearestRank(values, 0.5);
    double p99 = NearestRank(values, 0.99);
    double low = values.empty() ? 0.0 : values.front();
    double high = values.empty() ? 0.0 : values.back();
    return Format("\"count\":%zu,\"median\":%.*f,\"p99\":%.*f,\"min\":%.*f,\"max\":%.*f",
                  values.size(), decimals, median, decimals, p99, decimals, low, decimals, high);
}

void ReportCycle(std::ostream& out, const std::string& peer, std::vector<double> cycleUs,
                 long errors)
{
    out << "{\"peer\":\"" << peer << "\",\"workload\":\"cycle\",\"unit\":\"us\","
        << StatsMembers(std::move(cycleUs), 3) << ",\"errors\":" << errors << "}\n"
        << std::flush;
}

void ReportIdle(std::ostream& out, const std::string& peer, double cpuSeconds,
                double wallSeconds, std::vector<double> windows)
{
    double fraction = wallSeconds > 0 ? cpuSeconds / wallSeconds : 0.0;
    out << "{\"peer\":\"" << peer << "\",\"workload\":\"idle\",\"unit\":\"cpu_frac\","
        << Format("\"cpu_frac\":%.6f,\"cpu_s\":%.6f,\"wall_s\":%.3f,", fraction, cpuSeconds,
                  wallSeconds)
        << StatsMembers(std::move(windows), 6) << "}\n"
        << std::flush;
}

TIdleFigures MeasureIdle(long seconds,
                         const std::function<void(std::chrono::steady_clock::time_point)>& waitUntil)
{
    using Clock = std::chrono::steady_clock;
    auto processCpu = [] { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; };
    TIdleFigures figures;
    const double cpu0 = processCpu();
    const Clock::time_point t0 = Clock::now();
    double cpuBefore = cpu0;
    Clock::time_point before = t0;
    for (long s = 1; s <= seconds; ++s) {
        waitUntil(t0 + std::chrono::seconds(s));
        double cpu = processCpu();
        Clock::time_point now = Clock::now();
        double wall = std::chrono::duration<double>(now - before).count();
        figures.Windows.push_back(wall > 0 ? (cpu - cpuBefore) / wall : 0.0);
        cpuBefore = cpu;
        before = now;
    }
    figures.CpuSeconds = cpuBefore - cpu0;
    figures.WallSeconds = std::chrono::duration<double>(before - t0).count();
    return figures;
}

} // namespace kivo::bench
