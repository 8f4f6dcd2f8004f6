// The status packet and the fault modes applied to it.

#include "tools/sign-sim/status_packet.h"

#include <algorithm>

namespace tarvio::sim {

namespace {
// Line noise as a sign's receiver might pick it up: no "@" or "*" among it,
// and no XON/XOFF, which a port with software flow control would swallow.
constexpr std::string_view NoiseBefore{"\r\n\x00\xa5#noise#", 11};
constexpr std::string_view NoiseAfter{"\x7f\xfe\r\n", 4};
} // namespace

std::string BuildStatusPacket(const PriceSet& prices, char separator, std::string_view status)
{
    std::string packet;
    packet.reserve(StatusPacketLength);
    packet += "@ALIVE-";
    for (const std::string& price : prices) {
        std::string field = price.substr(0, PriceWidth);
        field.resize(PriceWidth, ' ');
        packet += field;
        packet += separator;
    }
    std::string code(status.substr(0, 3));
    code.resize(3, ' ');
    packet += code;
    packet += '*';
    return packet;
}

std::string WireAnswer::Whole() const
{
    std::string all;
    for (const WireChunk& chunk : Chunks) all += chunk.Bytes;
    return all;
}

WireAnswer ShapeAnswer(const PriceSet& prices, const SimOptions& options)
{
    std::string packet = BuildStatusPacket(prices, options.Separator, options.Status);
    switch (options.Fault) {
    case TFault::fNone: break;
    case TFault::fLowerCase: packet.replace(1, 5, "alive"); break;
    case TFault::fShort: packet.erase(StatusPacketLength - 5, 1); break;
    case TFault::fLoneAt: packet.resize(1); break;  // just its "@"
    case TFault::fSilent: return {};
    case TFault::fDtrPower:
    case TFault::fBreak: break;  // the line's part, not the packet's
    }
    std::string wire = options.Noise ? std::string(NoiseBefore) + packet + std::string(NoiseAfter)
                                     : packet;
    WireAnswer answer;
    std::size_t step = options.ChunkSize ? options.ChunkSize : wire.size();
    for (std::size_t at = 0; at < wire.size(); at += step)
        answer.Chunks.push_back(
            {wire.substr(at, step),
             at == 0 ? std::chrono::milliseconds(0) : options.ChunkDelay});
    return answer;
}

} // namespace tarvio::sim
