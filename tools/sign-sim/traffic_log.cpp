// The traffic log file.

#include "tools/sign-sim/traffic_log.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace tarvio::sim {

std::string EscapeBytes(std::string_view bytes)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f && c != '\\') {
            out += c;
        } else {
            out += "\\x";
            out += Hex[u >> 4];
            out += Hex[u & 0xF];
        }
    }
    return out;
}

std::string TimestampNow()
{
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[40];
    std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(millis));
    return text;
}

TrafficLog::TrafficLog(const std::string& path) : Path(path)
{
    File = std::fopen(path.c_str(), "a");
    if (!File)
        throw std::runtime_error("cannot open the log " + path + ": " + std::strerror(errno));
}

TrafficLog::~TrafficLog()
{
    if (File) std::fclose(File);
}

void TrafficLog::Line(std::string_view word, std::string_view text)
{
    if (!File) return;
    std::string line = TimestampNow();
    line += ' ';
    line += word;
    if (!text.empty()) {
        line += ' ';
        line += text;
    }
    line += '\n';
    // One write per line, so a reader polling the file never sees half a line
    // for long, and a full disk is reported instead of silently dropped.
    if (std::fwrite(line.data(), 1, line.size(), File) != line.size() || std::fflush(File) != 0)
        throw std::runtime_error("cannot write the log " + Path + ": " + std::strerror(errno));
}

} // namespace tarvio::sim
