#pragma once
// The dispatch log's table lines, apart from the file they go to.

#include "serial/dispatch/io_queue.h"

#include <cstdint>
#include <string>

namespace kivo::detail {

// Milliseconds as seconds with three decimals: 12345 gives "0012.345".
std::string FormatLogTime(std::uint32_t milliseconds);

// One entry: the 44-column fixed part, its data and the line break.
std::string FormatLogEntry(const TLogBuffer& entry, bool hex, bool allHex);

} // namespace kivo::detail
