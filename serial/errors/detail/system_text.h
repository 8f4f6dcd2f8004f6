#pragma once
// How a system message text is made fit for one line of a message box. Kept
// apart from the lookup so the clean-up can be checked on any input.

#include <string>

namespace kivo::detail {

// Cut to 255 characters, every control character turned into a space, every
// run of spaces left as one.
std::string TidySystemText(std::string text);

} // namespace kivo::detail
