#pragma once
// The system's English message texts for the Windows error numbers this
// program can meet, as the system gives them: a sentence ending in ".\r\n".
// Callers that show the text turn the control characters into spaces.

#include "platform/win_types.h"

#include <string>

namespace kivo::win {

// The text for errorNumber, or "" when the system has none for it.
std::string FormatMessage(DWORD errorNumber);

} // namespace kivo::win
