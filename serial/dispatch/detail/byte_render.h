#pragma once
// How the trace and the dispatch log write one data byte: itself when it is
// printable, else in brackets as two hex digits or as a decimal number.

#include <cstdint>
#include <cstdio>

namespace kivo::detail {

// Longest rendering, "[255]", plus the terminator.
using TByteText = char[6];

// Writes the rendering of byte into text and returns its width. With hex on
// a space is not printable, so it shows as [20].
inline int RenderByte(std::uint8_t byte, bool hex, bool allHex, TByteText& text)
{
    if (allHex) return std::snprintf(text, sizeof text, "[%02X]", byte);
    const std::uint8_t lowest = hex ? 0x21 : 0x20;
    if (byte >= lowest && byte <= 0x7E) {
        text[0] = static_cast<char>(byte);
        text[1] = '\0';
        return 1;
    }
    return hex ? std::snprintf(text, sizeof text, "[%02X]", byte)
               : std::snprintf(text, sizeof text, "[%u]", static_cast<unsigned>(byte));
}

// Lines hold items up to this column.
inline constexpr int LastColumn = 78;

} // namespace kivo::detail
