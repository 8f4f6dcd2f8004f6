// Preparing a packet's start or end string: escapes, wildcards, case.

#include "serial/packet/detail/pattern.h"

namespace kivo::detail {

void TPacketPattern::Prepare(const std::string& text, bool ignoreCase)
{
    IgnoreCase = ignoreCase;
    Pattern.clear();
    WildMask.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<std::uint8_t>(text[i]);
        if (c == '\\') {
            if (++i == text.size()) break;
            c = static_cast<std::uint8_t>(text[i]);
            Pattern += static_cast<char>(ignoreCase ? AsciiUpper(c) : c);
            WildMask += '0';
        } else {
            Pattern += static_cast<char>(ignoreCase ? AsciiUpper(c) : c);
            WildMask += c == '?' ? '1' : '0';
        }
    }
}

} // namespace kivo::detail
