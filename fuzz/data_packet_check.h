#pragma once
// One fuzz case for the data packet: a configuration (start string with
// wildcards and escapes or any data, end string, size, whether the strings
// are included, letter case, re-arming) and a byte stream cut into blocks.
// The packet under test runs on a port whose dispatcher lives in memory; a
// yardstick framer that searches the whole stream afresh for every packet
// says what it should have delivered. The runner comes in as a function so
// that the check can be tested with faulty ones.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::fuzz {

struct TPacketSettings {
    bool AnyDataStart = false;
    std::string StartString;
    bool EndByString = false;
    bool EndBySize = false;
    std::string EndString;
    int PacketSize = 0;
    bool IncludeStrings = true;
    bool IgnoreCase = true;
    bool AutoEnable = true;
    int TimeOut = 0;
};

struct TPacketOutcome {
    int ArmError = 0;                  // the code enabling raised, 0 when it armed
    std::vector<std::string> Packets;  // as OnStringPacket got them, in order
    std::string Trouble;               // anything else that went wrong, for the report
};

// The yardstick.
TPacketOutcome FramePackets(const TPacketSettings& settings, std::string_view stream);

using TPacketRunner = TPacketOutcome (*)(const TPacketSettings& settings,
                                         const std::vector<std::string>& blocks);

// The real packet, alone on a port, fed the blocks one dispatch pass each.
// The calling thread becomes the main thread.
TPacketOutcome RunDataPacket(const TPacketSettings& settings, const std::vector<std::string>& blocks);

// Empty when the runner agreed with the yardstick, else how it differed.
std::string CheckDataPacketCase(const std::uint8_t* data, std::size_t size, TPacketRunner runner);

} // namespace kivo::fuzz
