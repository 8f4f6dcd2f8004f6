#pragma once
// The simulated sign's command line: what it parses into, the usage error it
// raises, and the help text. Pure: no I/O, so every rule is unit-testable.

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvio::sim {

// How the sign answers a frame; the odd ones exist to exercise the program.
// fDtrPower and fBreak need a line with modem signals: a real port, or the
// tests' modelled pty.
enum class TFault { fNone, fLowerCase, fShort, fLoneAt, fSilent, fDtrPower, fBreak };

struct SimOptions {
    // Either a pseudo-terminal linked as DeviceDir/comN, or a real port.
    std::string DeviceDir;
    int Com = 1;
    std::string PortPath;

    std::string Status = "OK ";
    char Separator = ' ';
    std::optional<std::chrono::milliseconds> Interval;  // unsolicited packets
    TFault Fault = TFault::fNone;
    bool Noise = false;
    std::size_t ChunkSize = 0;  // 0: each answer in one write
    std::chrono::milliseconds ChunkDelay{50};
    std::string LogPath;
    bool Quiet = false;
    bool Plain = false;
    bool Help = false;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws UsageError with a message fit for stderr.
SimOptions ParseOptions(const std::vector<std::string>& args);

const char* FaultName(TFault fault);
std::string HelpText(const std::string& programName);

} // namespace tarvio::sim
