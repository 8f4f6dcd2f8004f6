#pragma once
// The traffic log: one timestamped line per event, written and flushed at
// once so that a script or test waiting on the file sees each line as soon as
// the event has happened. Owned by the main loop; not thread-safe.

#include <cstdio>
#include <string>
#include <string_view>

namespace tarvio::sim {

// Bytes outside 0x20..0x7e, and the backslash, as \xNN: one event, one line.
std::string EscapeBytes(std::string_view bytes);

class TrafficLog {
public:
    TrafficLog() = default;
    // Appends to path; throws std::runtime_error naming the path and the reason.
    explicit TrafficLog(const std::string& path);
    ~TrafficLog();
    TrafficLog(const TrafficLog&) = delete;
    TrafficLog& operator=(const TrafficLog&) = delete;

    // "<local time with milliseconds> <word> <text>"; a no-op without a file.
    void Line(std::string_view word, std::string_view text = {});

private:
    std::FILE* File = nullptr;
    std::string Path;
};

// Local time as "yyyy-mm-dd hh:mm:ss.mmm".
std::string TimestampNow();

} // namespace tarvio::sim
