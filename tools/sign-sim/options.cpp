// Command-line parsing and help for the simulated sign.

#include "tools/sign-sim/options.h"

#include <charconv>
#include <cmath>
#include <set>

namespace tarvio::sim {

namespace {

bool IsLinkChar(char c)
{
    // '@' and '*' would frame a packet inside the packet; control bytes would
    // make the answer something other than what the operator asked for.
    auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u < 0x7f && c != '@' && c != '*';
}

long ParseWhole(const std::string& option, const std::string& text, long low, long high)
{
    long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
        value > high)
        throw UsageError(option + " wants a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not \"" + text + "\"");
    return value;
}

std::chrono::milliseconds ParseSeconds(const std::string& option, const std::string& text)
{
    // Digits and at most one point: std::stod alone would also take "inf",
    // "1e3" or "5s".
    int points = 0;
    int digits = 0;
    for (char c : text) {
        if (c == '.') ++points;
        else if (c >= '0' && c <= '9') ++digits;
        else points = 2;
    }
    bool digit = digits > 0 && points <= 1;
    double seconds = 0.0;
    if (digit) {
        // Hundreds of digits are out of a double's range: std::stod would
        // throw past the usage error.
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
        digit = error == std::errc() && end == text.data() + text.size();
    }
    if (!digit || seconds < 0.05 || seconds > 86400.0)
        throw UsageError(option + " wants seconds from 0.05 to 86400, not \"" + text + "\"");
    return std::chrono::milliseconds(std::lround(seconds * 1000.0));
}

TFault ParseFault(const std::string& text)
{
    for (TFault f : {TFault::fNone, TFault::fLowerCase, TFault::fShort, TFault::fLoneAt,
                     TFault::fSilent, TFault::fDtrPower, TFault::fBreak})
        if (text == FaultName(f)) return f;
    throw UsageError(
        "--fault wants one of none, lowercase, short, lone-at, silent, dtr-power, break, not \"" +
        text + "\"");
}

} // namespace

const char* FaultName(TFault fault)
{
    switch (fault) {
    case TFault::fNone: return "none";
    case TFault::fLowerCase: return "lowercase";
    case TFault::fShort: return "short";
    case TFault::fLoneAt: return "lone-at";
    case TFault::fSilent: return "silent";
    case TFault::fDtrPower: return "dtr-power";
    case TFault::fBreak: return "break";
    }
    return "?";
}

SimOptions ParseOptions(const std::vector<std::string>& args)
{
    SimOptions options;
    std::set<std::string> seen;
    bool comGiven = false;

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        auto flag = [&] {
            if (inlineValue) throw UsageError(name + " takes no value");
        };
        auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
            return args[++i];
        };
        if (name == "-h" || name == "--help") {
            flag();
            options.Help = true;
            continue;
        }
        if (name.rfind("-", 0) != 0)
            throw UsageError("unexpected argument \"" + name + "\" (options start with --)");
        if (!seen.insert(name).second) throw UsageError(name + " given twice");

        if (name == "--device-dir") {
            options.DeviceDir = value();
            if (options.DeviceDir.empty()) throw UsageError("--device-dir needs a directory");
        } else if (name == "--com") {
            // Every number the program's port can be set to (a WORD, 0 for none).
            options.Com = static_cast<int>(ParseWhole(name, value(), 1, 65535));
            comGiven = true;
        } else if (name == "--port") {
            options.PortPath = value();
            if (options.PortPath.empty()) throw UsageError("--port needs a device path");
        } else if (name == "--status") {
            options.Status = value();
            if (options.Status.size() != 3)
                throw UsageError("--status wants exactly three characters, not \"" +
                                 options.Status + "\"");
            for (char c : options.Status)
                if (!IsLinkChar(c))
                    throw UsageError("--status takes printable characters other than @ and *");
        } else if (name == "--separator") {
            std::string text = value();
            if (text.size() != 1 || !IsLinkChar(text[0]))
                throw UsageError("--separator wants one printable character other than @ and *");
            options.Separator = text[0];
        } else if (name == "--interval") {
            options.Interval = ParseSeconds(name, value());
        } else if (name == "--fault") {
            options.Fault = ParseFault(value());
        } else if (name == "--noise") {
            flag();
            options.Noise = true;
        } else if (name == "--chunk") {
            options.ChunkSize = static_cast<std::size_t>(ParseWhole(name, value(), 1, 4096));
        } else if (name == "--chunk-delay") {
            options.ChunkDelay = std::chrono::milliseconds(ParseWhole(name, value(), 0, 60000));
        } else if (name == "--log") {
            options.LogPath = value();
            if (options.LogPath.empty()) throw UsageError("--log needs a file name");
        } else if (name == "--quiet") {
            flag();
            options.Quiet = true;
        } else if (name == "--plain") {
            flag();
            options.Plain = true;
        } else {
            throw UsageError("unknown option " + name + " (see --help)");
        }
    }

    if (options.Help) return options;
    if (!options.PortPath.empty() && (!options.DeviceDir.empty() || comGiven))
        throw UsageError("--port cannot be combined with --device-dir or --com");
    if (options.PortPath.empty() && options.DeviceDir.empty())
        throw UsageError("say where the sign sits: --device-dir DIR [--com N], or --port PATH");
    if (seen.count("--chunk-delay") && options.ChunkSize == 0)
        throw UsageError("--chunk-delay only makes sense with --chunk");
    return options;
}

std::string HelpText(const std::string& programName)
{
    return "Usage: " + programName + R"( --device-dir DIR [--com N] [options]
       )" + programName + R"( --port PATH [options]

A simulated price sign for the Tarvio program. It reads the program's 34-byte
price frames ("@", eight four-character prices, "*") at 9600 8N1 raw, shows
the eight prices it now displays, and answers each frame with a 51-character
status packet: "@ALIVE-", the eight prices each followed by a separator, a
three-character status code, "*". Bytes outside a frame are ignored; a frame
of the wrong length, or sent while the program's end of the pseudo-terminal
is set to another rate than 9600, is logged and not answered.

Where the sign sits (one of):
  --device-dir DIR   open a pseudo-terminal and link its far end as DIR/comN
                     (the directory is created if missing; a link there to a
                     pseudo-terminal, as a killed simulator leaves, is
                     replaced, a link to anything else is left alone and the
                     simulator ends; the link is removed on exit)
  --com N            the N in comN, 1 to 65535 (default 1)
  --port PATH        use a real serial port instead, e.g. a null-modem cable
                     to another machine (bench work only)

What it answers:
  --status CODE      the three-character status code, printable, without "@"
                     or "*" (default "OK ")
  --separator C      the character after each price, printable, not "@" or
                     "*" (default a space)
  --interval SECONDS also send a status packet every SECONDS (0.05 to 86400;
                     off by default)

Fault modes, to test the program (each applies to every packet sent):
  --fault none       answer correctly (default)
  --fault lowercase  "@alive-" instead of "@ALIVE-"
  --fault short      one character short: the separator before the status
                     code is left out, 50 characters in all
  --fault lone-at    a lone "@" and nothing after it
  --fault silent     no answer at all (frames are still shown and logged)
  --fault dtr-power  a sign powered from the program's DTR: frames that come
                     while the line's DSR (the program's DTR through a
                     null-modem cable) is off are not even read ("unpowered"
                     in the log); needs a line with modem signals
  --fault break      a break on the line (about 3 ms) before each answer
                     ("break" in the log); needs a line with modem signals
  (on a line without them these two end the sign with exit code 1 at the
  first frame)
  --noise            the bytes 0D 0A 00 A5 "#noise#" before each packet and
                     7F FE 0D 0A after it (no "@" or "*" among them)
  --chunk N          write each packet in pieces of N bytes (1 to 4096) ...
  --chunk-delay MS   ... MS milliseconds apart (0 to 60000, default 50)

Output:
  stdout             "ready PATH" once the link (or port) is ready, then the
                     prices of each frame: large digits on a terminal, one
                     "prices ..." line otherwise
  --plain            one line per frame even on a terminal
  --quiet            nothing but the ready line (errors still go to stderr)
  --log FILE         append a timestamped line per event, flushed at once:
                     "in FRAME", "out PACKET", "bad N BYTES" (wrong length),
                     "silent" (an answer held back), "garbled RATE baud
                     BYTES" (a frame sent at another rate than 9600, which
                     a real sign cannot read: not answered, and no tick's
                     packet goes out while the rate lasts),
                     "dropped N" (the line stayed full), "discarded N" (a
                     tick found the last packet unread, or the line stayed
                     full: nobody listens, so it is not kept for later),
                     "start PATH", "stop"; bytes
                     outside 0x20..0x7e and the backslash are written as
                     \xNN
  -h, --help         this text

SIGINT, SIGTERM or SIGHUP (its terminal closed) ends it cleanly. Exit codes:
0 after a clean stop, 1 when the line cannot be set up or fails, 2 for bad
arguments.
)";
}

} // namespace tarvio::sim
