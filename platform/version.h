#pragma once
// What the stack needs to know about the system it runs on: the text of the
// dispatch log's operating-system line and the platform family. The system
// is taken as NT-like: comm events without the non-NT extra bit, RS-485
// through the driver's RTS toggle rather than direct UART access.

#include <string>
#include <string_view>

namespace kivo::win {

// "<name> <major>.<minor> <release>", the shape the log line keeps on every
// platform: "Linux 6.1 6.1.0-18-amd64". Read from uname.
std::string PlatformDescription();

// The same line for a given kernel name and release; a release that does not
// start with numbers gives 0.0.
std::string FormatPlatformDescription(std::string_view kernelName, std::string_view release);

// True: the layers above take the NT branch wherever the platform matters.
bool IsNTPlatform();

}  // namespace kivo::win
