// tarvio-sign-sim: a simulated price sign on a pseudo-terminal or a real port.

#include "tools/sign-sim/options.h"
#include "tools/sign-sim/sign_line.h"
#include "tools/sign-sim/simulator.h"
#include "tools/sign-sim/traffic_log.h"

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace tarvio::sim;

namespace {

constexpr const char* Name = "tarvio-sign-sim";

bool TerminalAllowsBigDigits()
{
    const char* term = std::getenv("TERM");
    return ::isatty(STDOUT_FILENO) && term && *term && std::strcmp(term, "dumb") != 0;
}

bool Utf8Locale()
{
    std::setlocale(LC_CTYPE, "");
    return std::strcmp(::nl_langinfo(CODESET), "UTF-8") == 0;
}

// The stop signals arrive as readable bytes on a descriptor the main loop
// polls, so a stop never lands in the middle of a write.
int BlockStopSignals()
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    if (::sigprocmask(SIG_BLOCK, &stops, nullptr) != 0) return -1;
    std::signal(SIGPIPE, SIG_IGN);
    return ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
}

} // namespace

int main(int argc, char** argv)
{
    SimOptions options;
    try {
        options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", Name, error.what(), Name);
        return 2;
    }
    if (options.Help) {
        std::fputs(HelpText(Name).c_str(), stdout);
        return 0;
    }

    int stopFd = BlockStopSignals();
    if (stopFd < 0) {
        std::fprintf(stderr, "%s: cannot watch for stop signals: %s\n", Name, std::strerror(errno));
        return 1;
    }

    try {
        TrafficLog log;
        std::unique_ptr<TrafficLog> fileLog;
        if (!options.LogPath.empty()) fileLog = std::make_unique<TrafficLog>(options.LogPath);
        std::unique_ptr<SignLine> line = options.PortPath.empty()
                                             ? SignLine::CreatePseudoTerminal(options.DeviceDir,
                                                                              options.Com)
                                             : SignLine::OpenPort(options.PortPath);
        auto display = options.Quiet                                ? SignSimulator::TDisplay::dsNone
                       : options.Plain || !TerminalAllowsBigDigits() ? SignSimulator::TDisplay::dsPlain
                                                                     : SignSimulator::TDisplay::dsBig;
        bool unicode = display == SignSimulator::TDisplay::dsBig && Utf8Locale();
        SignSimulator sign(options, *line, fileLog ? *fileLog : log, display, unicode,
                           STDOUT_FILENO, STDERR_FILENO);
        sign.Run(stopFd);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", Name, error.what());
        ::close(stopFd);
        return 1;
    }
    ::close(stopFd);
    return 0;
}
