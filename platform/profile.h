#pragma once
// Settings files in the INI shape: "[Section]" lines and "Key=Value" lines.
// Section and key names match without regard to ASCII letter case; every
// write goes to the file at once and leaves every other byte of the file as
// it was (comments, unknown sections and keys, their order, line ends).
// A file in the user's configuration folder that does not exist yet reads
// as its system-wide counterpart (app_paths.h); the first write creates it,
// and the folders it needs (private to the user), from that counterpart.

#include "platform/win_types.h"

#include <string>

namespace kivo::win {

// A settings file is read whole for every value: one larger than this (a
// log sent there by mistake, a damaged disk) is refused as unreadable with
// EFBIG, before it could take the memory of the machine, and never written.
inline constexpr long long ProfileFileLimit = 64ll << 20;

// The value of key in section, or defaultValue when the file, the section or
// the key is missing. Values are cut to size - 1 characters (the Win32 buffer
// rule); the result is returned, not copied into a caller's buffer.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, DWORD size,
                                    const std::string& fileName);

// Integers: optional sign, then decimal digits, or "$", "x", "X", "0x", "0X"
// and hexadecimal digits. Anything else, an empty value or a value outside
// 32 bits gives defaultValue.
int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& fileName);

// Replaces the value of key (adding key, and section, where missing). FALSE
// with the last error set when the file cannot be written; the file is then
// unchanged.
BOOL WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& fileName);

} // namespace kivo::win
