#pragma once
// The simulated sign's main loop: waits in poll on the line, the stop
// descriptor and the next due time (a chunk to write, an unsolicited packet),
// never spinning. Owns the frame parser, the prices on show and the queue of
// bytes to send; borrows the line, the log and the output streams. Runs on
// the one thread of the program.

#include "tools/sign-sim/display.h"
#include "tools/sign-sim/frame_parser.h"
#include "tools/sign-sim/options.h"
#include "tools/sign-sim/sign_line.h"
#include "tools/sign-sim/status_packet.h"
#include "tools/sign-sim/traffic_log.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <vector>

namespace tarvio::sim {

class SignSimulator {
public:
    enum class TDisplay { dsNone, dsPlain, dsBig };

    SignSimulator(const SimOptions& options, SignLine& line, TrafficLog& log, TDisplay display,
                  bool unicode, std::FILE* out, std::FILE* err);

    // Returns once stopFd turns readable (a signal arrived). Throws LineError
    // when the line fails.
    void Run(int stopFd);

private:
    using Clock = std::chrono::steady_clock;

    struct Pending {
        std::string Bytes;
        std::size_t Written = 0;
        Clock::time_point Due;
        bool LastOfPacket = false;
        std::string Packet;  // the whole answer, logged once its last byte is out
    };

    void ReadLine();
    // False, and logged, while a sign powered from DTR has no power.
    bool Powered();
    void HandleFrame(const FrameEvent& event);
    void QueueAnswer();
    void WriteDue(Clock::time_point now);
    void Show();
    int PollTimeout(Clock::time_point now, bool wantWrite) const;

    const SimOptions& Options;
    SignLine& Line;
    TrafficLog& Log;
    TDisplay Display;
    bool Unicode;
    std::FILE* Out;
    std::FILE* Err;

    FrameParser Parser;
    std::vector<FrameEvent> Events;
    PriceSet Prices;
    BoardInfo Info;
    std::deque<Pending> Outgoing;
    Clock::time_point NextTick;
    Clock::time_point StalledSince;
    Clock::time_point LastWrite;
    bool Stalled = false;
};

} // namespace tarvio::sim
