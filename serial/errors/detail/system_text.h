#pragma once
// How a system message text is made fit for one line of a message box. Kept
// apart from the lookup so the clean-up can be checked on any input.

#include <cstdint>
#include <string>

namespace kivo::detail {

// Where the lookup asks for the system's text of an error number.
using SystemTextSource = std::string (*)(std::uint32_t errorNumber);

// The lookup of ErrorMessageText with the system's texts taken from source.
std::string LookupMessageText(int code, SystemTextSource source);

// Cut to 255 characters, every control character turned into a space, every
// run of spaces left as one.
std::string TidySystemText(std::string text);

} // namespace kivo::detail
