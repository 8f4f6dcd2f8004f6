// The platform line of the dispatch log and the platform family.

#include "platform/version.h"

#include <charconv>
#include <sys/utsname.h>

namespace kivo::win {

namespace {

// Parses a leading decimal number and steps over it; 0 when there is none.
unsigned TakeNumber(std::string_view& text)
{
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{}) return 0;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return value;
}

}  // namespace

std::string FormatPlatformDescription(std::string_view kernelName, std::string_view release)
{
    std::string_view rest = release;
    unsigned major = TakeNumber(rest);
    unsigned minor = 0;
    if (!rest.empty() && rest.front() == '.') {
        rest.remove_prefix(1);
        minor = TakeNumber(rest);
    }
    std::string line(kernelName);
    line += ' ';
    line += std::to_string(major);
    line += '.';
    line += std::to_string(minor);
    line += ' ';
    line += release;
    return line;
}

std::string PlatformDescription()
{
    utsname names{};
    if (::uname(&names) != 0) return FormatPlatformDescription("Unknown", "");
    return FormatPlatformDescription(names.sysname, names.release);
}

bool IsNTPlatform()
{
    return true;
}

}  // namespace kivo::win
