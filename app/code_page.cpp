// UTF-8 checking and the Windows-1252 table.

#include "app/code_page.h"

#include "platform/utf8.h"

#include <array>
#include <cstdint>

namespace tarvio {

using kivo::AppendUtf8;
using kivo::DecodeUtf8;

namespace {

// 0x80 ... 0x9F; the rest of the code page is Latin-1.
constexpr std::array<char16_t, 32> HighControls = {
    u'\u20AC', u'\u0081', u'\u201A', u'\u0192', u'\u201E', u'\u2026', u'\u2020', u'\u2021',
    u'\u02C6', u'\u2030', u'\u0160', u'\u2039', u'\u0152', u'\u008D', u'\u017D', u'\u008F',
    u'\u0090', u'\u2018', u'\u2019', u'\u201C', u'\u201D', u'\u2022', u'\u2013', u'\u2014',
    u'\u02DC', u'\u2122', u'\u0161', u'\u203A', u'\u0153', u'\u009D', u'\u017E', u'\u0178'};

} // namespace

bool IsUtf8(std::string_view bytes)
{
    while (!bytes.empty()) {
        kivo::TUtf8Char decoded = DecodeUtf8(bytes);
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
        kivo::TUtf8Char decoded = DecodeUtf8(text);
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
