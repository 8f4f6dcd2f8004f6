#pragma once
// The two code pages the program's texts come in. A settings file written on
// Linux holds UTF-8; one carried over from the program's Windows
// installation holds Windows-1252, the code page of its Portuguese-speaking
// users. The line to the sign carries one Windows-1252 byte per character.

#include <string>
#include <string_view>

namespace tarvio {

bool IsUtf8(std::string_view bytes);

// UTF-8 text as it is; anything else read as Windows-1252.
std::string TextFromBytes(std::string_view bytes);

// Windows-1252 bytes and UTF-8 text, each way. The five bytes the code page
// leaves undefined stand for the control characters of the same number, so
// every byte comes back unchanged; a character the code page cannot carry
// goes out as '?'.
std::string Utf8FromWindows1252(std::string_view bytes);
std::string Windows1252FromUtf8(std::string_view text);

} // namespace tarvio
