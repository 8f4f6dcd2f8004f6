#pragma once
// UTF-8 one character at a time: the settings file's codings and the
// program's code page all pass through it.

#include <cstddef>
#include <string>
#include <string_view>

namespace kivo {

struct TUtf8Char {
    char32_t Char = 0;
    std::size_t Length = 0;
};

// The character at the front of text (which is not empty) and its length in
// bytes; length 0 for a malformed, overlong or surrogate sequence.
TUtf8Char DecodeUtf8(std::string_view text);

void AppendUtf8(std::string& out, char32_t c);

} // namespace kivo
