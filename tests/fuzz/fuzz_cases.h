#pragma once
// Fuzz inputs spelled out, in the layouts the checks decode.

#include <cstdint>
#include <string>
#include <vector>

namespace kivo::fuzz::test {

// A string as TFuzzInput::Text reads it: its length in one byte when at most
// 255 may come, else in two.
inline std::string LengthPrefixed(const std::string& text, unsigned maxLength)
{
    std::string out;
    if (maxLength + 1 > 256) out += static_cast<char>(text.size() >> 8);
    out += static_cast<char>(text.size() & 0xFF);
    return out + text;
}

// Mode 0 writes a key the file holds (index pick), 1 the given key into an
// existing section (index pick), 2 the given section and key, 3 an existing
// key with its name's case and blanks varied by pick.
inline std::string ProfileCase(unsigned mode, unsigned pick, unsigned oddSize, const std::string& value,
                               const std::string& section, const std::string& key,
                               const std::string& content)
{
    bool longValue = value.size() > 32;
    std::string in;
    in += static_cast<char>(mode);
    in += static_cast<char>(pick);
    in += static_cast<char>(oddSize);
    in += static_cast<char>(longValue ? 1 : 0);
    in += LengthPrefixed(value, longValue ? 2600 : 32);
    in += LengthPrefixed(section, 24);
    in += LengthPrefixed(key, 24);
    return in + content;
}

// Flags: bit 0 ignore case, bits 1-3 the number of letters (0: raw bytes),
// bits 4-5 the number of triggers less one.
inline std::string TriggerCase(unsigned flags, const std::vector<std::string>& patterns,
                               const std::string& stream)
{
    std::string in(1, static_cast<char>(flags));
    for (const std::string& p : patterns) {
        in += static_cast<char>(p.size() - 1);
        in += p;
    }
    return in + stream;
}

inline const std::uint8_t* Bytes(const std::string& text)
{
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

} // namespace kivo::fuzz::test
