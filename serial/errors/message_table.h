#pragma once
// The message table: the text of every error code, status number and dispatch
// log name of the serial stack, and the lookup that falls back on the system's
// own text. The table is constant data; every call here may run on any thread.

#include <span>
#include <string>
#include <string_view>

namespace kivo {

struct MessageLookupEntry {
    int Code;
    std::string_view Text;
};

// All entries, ascending by the absolute value of their codes, no two sharing
// one.
std::span<const MessageLookupEntry> MessageTable() noexcept;

// The text for a code: the table entry for the absolute value of its low 16
// bits, else the system's text for that number (control characters as spaces,
// runs of spaces as one), else empty. At most 255 characters.
std::string ErrorMessageText(int code);

// The table's own text for the absolute value of a code, without the system
// fallback or the 16-bit cut; empty when there is no entry.
std::string_view MessageTableText(int code) noexcept;

// Where the dispatch log finds its names in the table: type t at
// LogTypeNameBase + t, subtype s at LogSubtypeNameBase + s, bit b of the modem
// status at ModemStatusNameBase + b, telnet option o at TelnetOptionNameBase + o.
inline constexpr int LogTypeNameBase = 15001;
inline constexpr int LogTypeCount = 21;
inline constexpr int LogSubtypeNameBase = 15100;
inline constexpr int LogSubtypeCount = 257;
inline constexpr int ModemStatusNameBase = 15601;
inline constexpr int TelnetOptionNameBase = 15700;
inline constexpr int TelnetOptionCount = 43;

} // namespace kivo
