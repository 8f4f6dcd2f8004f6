// UTF-8 checking and the Windows-1252 table.

#include "app/code_page.h"

#include <array>
#include <cstdint>

namespace tarvio {

namespace {

// 0x80 ... 0x9F; the rest of the code page is Latin-1.
constexpr std::array<char16_t, 32> HighControls = {
    u'\u20AC', u'\u0081', u'\u201A', u'\u0192', u'\u201E', u'\u2026', u'\u2020', u'\u2021',
    u'\u02C6', u'\u2030', u'\u0160', u'\u2039', u'\u0152', u'\u008D', u'\u017D', u'\u008F',
    u'\u0090', u'\u2018', u'\u2019', u'\u201C', u'\u201D', u'\u2022', u'\u2013', u'\u2014',
    u'\u02DC', u'\u2122', u'\u0161', u'\u203A', u'\u0153', u'\u009D', u'\u017E', u'\u0178'};

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The character at the front of text and its length in bytes; length 0 for
// a malformed, overlong or surrogate sequence.
struct Decoded {
    char32_t Char = 0;
    std::size_t Length = 0;
};

Decoded DecodeUtf8(std::string_view text)
{
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    std::uint8_t lead = byte(0);
    if (lead < 0x80) return {lead, 1};
    std::size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (lead > 0xF4 || length == 0 || text.size() < length) return {};
    char32_t c = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return {};
        c = (c << 6) | (byte(i) & 0x3F);
    }
    static constexpr std::array<char32_t, 5> smallest = {0, 0, 0x80, 0x800, 0x10000};
    if (c < smallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {};
    return {c, length};
}

} // namespace

bool IsUtf8(std::string_view bytes)
{
    while (!bytes.empty()) {
        Decoded decoded = DecodeUtf8(bytes);
        if (decoded.Length == 0) return false;
        bytes.remove_prefix(decoded.Length);
    }
    return true;
}

std::string TextFromBytes(std::string_view bytes)
{
    return IsUtf8(bytes) ? std::string(bytes) : Utf8FromWindows1252(bytes);
}

std::string Utf8FromWindows1252(std::string_view bytes)
{
    std::string text;
    text.reserve(bytes.size() * 2);
    for (char b : bytes) {
        auto byte = static_cast<std::uint8_t>(b);
        AppendUtf8(text, byte >= 0x80 && byte < 0xA0 ? HighControls[byte - 0x80] : byte);
    }
    return text;
}

std::string Windows1252FromUtf8(std::string_view text)
{
    std::string bytes;
    bytes.reserve(text.size());
    while (!text.empty()) {
        Decoded decoded = DecodeUtf8(text);
        if (decoded.Length == 0) {
            bytes += '?';
            text.remove_prefix(1);
            continue;
        }
        text.remove_prefix(decoded.Length);
        char32_t c = decoded.Char;
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            bytes += static_cast<char>(c);
            continue;
        }
        char out = '?';
        for (std::size_t i = 0; i < HighControls.size(); ++i)
            if (HighControls[i] == c) out = static_cast<char>(0x80 + i);
        bytes += out;
    }
    return bytes;
}

} // namespace tarvio
