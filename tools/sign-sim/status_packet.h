#pragma once
// The sign's answer: the 51-character status packet and what the fault modes
// make of it on the wire. Pure; the main loop only writes what this returns.

#include "tools/sign-sim/frame_parser.h"
#include "tools/sign-sim/options.h"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace tarvio::sim {

inline constexpr std::size_t StatusPacketLength = 51;

// "@ALIVE-", each price cut or padded with spaces to four characters and
// followed by the separator, the status code, "*".
std::string BuildStatusPacket(const PriceSet& prices, char separator, std::string_view status);

struct WireChunk {
    std::string Bytes;
    std::chrono::milliseconds DelayBefore{0};
};

// What goes on the line for one packet; no chunks when the sign stays silent.
struct WireAnswer {
    std::vector<WireChunk> Chunks;
    std::string Whole() const;
};

WireAnswer ShapeAnswer(const PriceSet& prices, const SimOptions& options);

} // namespace tarvio::sim
