#pragma once
// Bytes in a finding's message: quoted, control and high bytes as \xNN, long
// texts cut, so that a report stays one readable line.

#include <cstdio>
#include <string>
#include <string_view>

namespace kivo::fuzz {

inline std::string Shown(std::string_view bytes, std::size_t limit = 96)
{
    std::string text = "\"";
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '"' || c == '\\') {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        } else {
            text += static_cast<char>(c);
        }
    }
    text += '"';
    if (bytes.size() > limit) text += "... (" + std::to_string(bytes.size()) + " bytes)";
    return text;
}

} // namespace kivo::fuzz
