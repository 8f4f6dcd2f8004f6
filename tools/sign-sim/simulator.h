#pragma once
// The simulated sign's main loop: waits in poll on the line, the stop
// descriptor, the next due time (a chunk to write, an unsolicited packet) and
// the output streams while they hold text, never spinning. Owns the frame
// parser, the prices on show, the queue of bytes to send and what waits to be
// printed; borrows the line and the log. Runs on the one thread of the program.

#include "tools/sign-sim/display.h"
#include "tools/sign-sim/frame_parser.h"
#include "tools/sign-sim/options.h"
#include "tools/sign-sim/sign_line.h"
#include "tools/sign-sim/status_packet.h"
#include "tools/sign-sim/text_out.h"
#include "tools/sign-sim/traffic_log.h"

#include <chrono>
#include <deque>
#include <vector>

namespace tarvio::sim {

class SignSimulator {
public:
    enum class TDisplay { dsNone, dsPlain, dsBig };

    SignSimulator(const SimOptions& options, SignLine& line, TrafficLog& log, TDisplay display,
                  bool unicode, int outFd, int errFd);

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
        std::string Packet;       // the whole answer, logged once its last byte is out
        bool BreakFirst = false;  // the break of the break fault, sent when this is due
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
    TextOut Out;
    TextOut Err;

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
