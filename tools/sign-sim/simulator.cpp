// The main loop of the simulated sign.

#include "tools/sign-sim/simulator.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace tarvio::sim {

namespace {
// A line nobody drains (the program gone, the cable out) must not pile up
// answers for ever; after this long without progress they are dropped.
constexpr auto StallLimit = std::chrono::seconds(5);
constexpr std::size_t ReadBlock = 256;
} // namespace

SignSimulator::SignSimulator(const SimOptions& options, SignLine& line, TrafficLog& log,
                             TDisplay display, bool unicode, int outFd, int errFd)
    : Options(options), Line(line), Log(log), Display(display), Unicode(unicode),
      Out(outFd), Err(errFd)
{
    Prices.fill("0000");
    Info.Where = line.Where();
    Info.Status = options.Status;
    Info.Fault = FaultName(options.Fault);
    if (options.Noise) Info.Fault += "+noise";
    if (options.ChunkSize) Info.Fault += "+chunks of " + std::to_string(options.ChunkSize);
}

void SignSimulator::Run(int stopFd)
{
    Log.Line("start", EscapeBytes(Line.Where() + " " + Line.Device()));
    Out.Print("ready " + Line.Where() + "\n");
    if (Display == TDisplay::dsBig) Show();
    if (Options.Interval) NextTick = Clock::now() + *Options.Interval;

    for (;;) {
        auto now = Clock::now();
        bool wantWrite = !Outgoing.empty() && Outgoing.front().Due <= now;
        // A reader that does not take our text is waited for here, with the
        // line, never in a write.
        pollfd fds[4] = {
            {Line.PollFd(), static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0},
            {stopFd, POLLIN, 0},
            {Out.Waiting() ? Out.Fd() : -1, POLLOUT, 0},
            {Err.Waiting() ? Err.Fd() : -1, POLLOUT, 0},
        };
        int ready = ::poll(fds, 4, PollTimeout(now, wantWrite));
        if (ready < 0 && errno != EINTR) throw LineError("poll failed");
        if (fds[1].revents) break;
        if (fds[2].revents) Out.Flush();
        if (fds[3].revents) Err.Flush();
        if (fds[0].revents & (POLLERR | POLLNVAL)) throw LineError(Line.Where() + " failed");
        if (fds[0].revents & (POLLIN | POLLHUP)) ReadLine();  // a hang-up shows in the read

        now = Clock::now();
        if (Options.Interval && now >= NextTick) {
            // The last tick's packet still unread: nobody is listening, and a
            // program that opens later must not get a backlog of old packets.
            // Bytes written moments ago are an answer a listening program has
            // not had the time to read yet.
            if (Outgoing.empty() && now - LastWrite >= *Options.Interval / 2)
                if (std::size_t stale = Line.DiscardUnread())
                    Log.Line("discarded", std::to_string(stale));
            // The program would read this packet as garbage at another rate.
            if (std::optional<std::string> rate = Line.ForeignRate())
                Log.Line("garbled", *rate);
            else
                QueueAnswer();
            NextTick += *Options.Interval;
            if (NextTick <= now) NextTick = now + *Options.Interval;
        }
        WriteDue(now);
    }
    Out.Flush();
    Err.Flush();
    if (unsigned long unshown = Out.Dropped() + Err.Dropped())
        Log.Line("unshown", std::to_string(unshown));
    Log.Line("stop");
}

int SignSimulator::PollTimeout(Clock::time_point now, bool wantWrite) const
{
    std::optional<Clock::time_point> next;
    auto consider = [&](Clock::time_point t) {
        if (!next || t < *next) next = t;
    };
    // A due write waits for POLLOUT, except that a stalled line must still
    // reach its drop deadline.
    if (wantWrite && Stalled) consider(StalledSince + StallLimit);
    else if (!wantWrite && !Outgoing.empty()) consider(Outgoing.front().Due);
    if (Options.Interval) consider(NextTick);
    if (!next) return -1;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
    return static_cast<int>(std::clamp<long long>(wait, 0, 60000));
}

void SignSimulator::ReadLine()
{
    char buffer[ReadBlock];
    // Bounded so a flood of input cannot starve the writes and the stop.
    for (int block = 0; block < 16; ++block) {
        std::size_t n = Line.ReadSome(buffer, sizeof buffer);
        if (n == 0) break;
        Events.clear();
        Parser.Feed(std::string_view(buffer, n), Events);
        for (const FrameEvent& event : Events) HandleFrame(event);
    }
}

bool SignSimulator::Powered()
{
    if (Options.Fault != TFault::fDtrPower) return true;
    // Asked at each frame, not at the start: a test may model the line only
    // once it knows which terminal the sign made.
    std::optional<bool> ready = Line.FarEndReady();
    if (!ready)
        throw LineError("--fault dtr-power needs a line with modem signals, which a bare "
                        "pseudo-terminal lacks");
    if (*ready) return true;
    Log.Line("unpowered");
    return false;
}

void SignSimulator::HandleFrame(const FrameEvent& event)
{
    if (!Powered()) return;
    if (std::optional<std::string> rate = Line.ForeignRate()) {
        Log.Line("garbled", *rate + " " + EscapeBytes(event.Bytes));
        if (!Options.Quiet)
            Err.Print("tarvio-sign-sim: a frame came at " + *rate +
                      "; the sign listens at 9600 baud and cannot make it out\n");
        return;
    }
    if (event.Kind != FrameEvent::TKind::fkFrame) {
        Log.Line("bad", std::to_string(event.Length) + " " + EscapeBytes(event.Bytes));
        if (!Options.Quiet)
            Err.Print("tarvio-sign-sim: ignored a frame of " + std::to_string(event.Length) +
                      " bytes (a frame has " + std::to_string(FrameLength) + ")\n");
        return;
    }
    Log.Line("in", EscapeBytes(event.Bytes));
    Prices = event.Prices;
    ++Info.Frames;
    Info.LastFrameTime = TimestampNow();
    Show();
    QueueAnswer();
}

void SignSimulator::QueueAnswer()
{
    if (!Powered()) return;
    WireAnswer answer = ShapeAnswer(Prices, Options);
    if (answer.Chunks.empty()) {
        Log.Line("silent");
        return;
    }
    std::string whole = answer.Whole();
    Clock::time_point due = Outgoing.empty() ? Clock::now() : Outgoing.back().Due;
    for (std::size_t i = 0; i < answer.Chunks.size(); ++i) {
        due += answer.Chunks[i].DelayBefore;
        bool last = i + 1 == answer.Chunks.size();
        Outgoing.push_back({std::move(answer.Chunks[i].Bytes), 0, due, last,
                            last ? whole : std::string(),
                            i == 0 && Options.Fault == TFault::fBreak});
    }
}

void SignSimulator::WriteDue(Clock::time_point now)
{
    while (!Outgoing.empty() && Outgoing.front().Due <= now) {
        Pending& head = Outgoing.front();
        // Not when queued: the answers still going out before this one would
        // carry the break inside them.
        if (head.BreakFirst) {
            Line.SendBreak();
            Log.Line("break");
            head.BreakFirst = false;
        }
        std::size_t n = Line.WriteSome(std::string_view(head.Bytes).substr(head.Written));
        if (n == 0) {
            if (!Stalled) Stalled = true, StalledSince = now;
            if (now - StalledSince >= StallLimit) {
                Log.Line("dropped", std::to_string(Outgoing.size()));
                // The line took part of the head: left there, it would glue to
                // the next answer. What waits unread goes as well, as on a
                // line nobody listens to.
                if (std::size_t stale = Line.DiscardUnread())
                    Log.Line("discarded", std::to_string(stale));
                if (!Options.Quiet)
                    Err.Print("tarvio-sign-sim: nobody reads " + Line.Where() +
                              "; dropped what was queued\n");
                Outgoing.clear();
                Stalled = false;
            }
            return;
        }
        Stalled = false;
        LastWrite = now;
        head.Written += n;
        if (head.Written < head.Bytes.size()) continue;
        if (head.LastOfPacket) Log.Line("out", EscapeBytes(head.Packet));
        Outgoing.pop_front();
    }
}

void SignSimulator::Show()
{
    switch (Display) {
    case TDisplay::dsNone: return;
    case TDisplay::dsPlain: Out.Print(RenderPlainPrices(Prices) + "\n"); break;
    case TDisplay::dsBig: Out.Print(RenderBigBoard(Prices, Info, Unicode)); break;
    }
}

} // namespace tarvio::sim
