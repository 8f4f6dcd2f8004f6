#pragma once
// One fuzz case for the dispatcher's data-trigger matcher: a few triggers
// (pattern, letter case rule) and a stream of bytes, each byte fed to every
// trigger as the dispatch scan feeds it, judged against a plain look at the
// last bytes of the stream since the trigger's previous match (occurrences do
// not overlap). The matcher comes in as a function so that the check can be
// tested with faulty stand-ins.

#include "serial/dispatch/triggers.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kivo::fuzz {

using TMatchByte = bool (*)(TDataTrigger& trigger, std::uint8_t byte);

// Empty when every byte agreed, else the first disagreement.
std::string CheckTriggerMatchCase(const std::uint8_t* data, std::size_t size, TMatchByte matchByte);

// The matcher the dispatcher uses.
TMatchByte DispatcherMatchByte();

// Upper case in the Western single-byte code page, from its letter pairs.
std::uint8_t CodePageUpper(std::uint8_t c);

} // namespace kivo::fuzz
