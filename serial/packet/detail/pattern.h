#pragma once
// A start or end string of a data packet, prepared for matching: its bytes
// with the escapes taken out, and a mask that marks the "?" wildcards. Plain
// values; the packet that owns one prepares it on arming and reads it while
// matching, under its manager's lock.

#include <cstdint>
#include <string>

namespace kivo::detail {

// Upper case for the ASCII letters only; every other byte stays as it is, so
// matching does not depend on the process's locale.
constexpr std::uint8_t AsciiUpper(std::uint8_t byte) noexcept
{
    return (byte >= 'a' && byte <= 'z') ? static_cast<std::uint8_t>(byte - ('a' - 'A')) : byte;
}

class TPacketPattern {
public:
    // A backslash makes the next character literal (and is dropped, also at
    // the very end); "?" matches any byte. With ignoreCase the text is upper
    // cased first and incoming bytes are upper cased before comparing.
    void Prepare(const std::string& text, bool ignoreCase);

    int Length() const noexcept { return static_cast<int>(Pattern.size()); }
    bool Empty() const noexcept { return Pattern.empty(); }
    const std::string& Bytes() const noexcept { return Pattern; }
    const std::string& Mask() const noexcept { return WildMask; }
    // The rule the pattern was prepared with, whatever the packet's setting is now.
    bool IgnoresCase() const noexcept { return IgnoreCase; }

    // Byte against the pattern character at index (0-based).
    bool Matches(std::uint8_t byte, int index) const noexcept
    {
        if (WildMask[static_cast<std::size_t>(index)] == '1') return true;
        if (IgnoreCase) byte = AsciiUpper(byte);
        return byte == static_cast<std::uint8_t>(Pattern[static_cast<std::size_t>(index)]);
    }

    // The count bytes at bytes against the pattern's first count characters.
    bool MatchesRun(const std::uint8_t* bytes, int count) const noexcept
    {
        for (int i = 0; i < count; ++i)
            if (!Matches(bytes[i], i)) return false;
        return true;
    }

    // After a mismatch at last: the earliest start from first up to last
    // whose bytes through last all match the pattern from its beginning, or
    // -1. Candidates cover fewer bytes than the pattern holds, so a retried
    // match is never complete.
    int ShorterMatch(const std::uint8_t* buffer, int first, int last) const noexcept
    {
        for (int candidate = first; candidate <= last; ++candidate) {
            int count = last - candidate + 1;
            if (count < Length() && MatchesRun(buffer + candidate, count)) return candidate;
        }
        return -1;
    }

private:
    std::string Pattern;
    std::string WildMask;
    bool IgnoreCase = false;
};

} // namespace kivo::detail
