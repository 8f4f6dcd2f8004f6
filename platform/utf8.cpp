#include "platform/utf8.h"

#include <array>
#include <cstdint>

namespace kivo {

TUtf8Char DecodeUtf8(std::string_view text)
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

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
        return;
    }
    int tail = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    static constexpr std::array<unsigned char, 4> lead = {0, 0xC0, 0xE0, 0xF0};
    out += static_cast<char>(lead[tail] | (c >> (6 * tail)));
    for (int shift = 6 * (tail - 1); shift >= 0; shift -= 6)
        out += static_cast<char>(0x80 | ((c >> shift) & 0x3F));
}

} // namespace kivo
