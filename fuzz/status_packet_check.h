#pragma once
// One fuzz case for the check of the sign's status packet: any text, judged
// against the rule written out position by position. The check under test
// comes in as a function so that this case can be tested with faulty ones.

#include "app/board_link.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kivo::fuzz {

using TStatusPacketCheck = std::optional<tarvio::TStatusReport> (*)(const std::string& packet);

// Empty when the check agreed with the rule, else how it differed.
std::string CheckStatusPacketCase(const std::uint8_t* data, std::size_t size,
                                  TStatusPacketCheck check);

} // namespace kivo::fuzz
