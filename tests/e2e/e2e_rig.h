#pragma once
// What the end-to-end tests stand on: child processes that are always ended
// by their PID, the simulated sign on a pseudo-terminal behind a comN link
// with its traffic log, a private X display, and the settings file the
// program reads. Nothing here opens a real serial device.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tarvio::e2e {

using namespace std::chrono_literals;

// A child process. Its stdout and stderr go to output; env entries
// ("NAME=value") are added to, or replace, this process's environment. With
// passFd set, that descriptor becomes the child's descriptor 3.
class TChild {
public:
    TChild(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
           const std::string& output = "/dev/null", int passFd = -1);
    // SIGTERM, a bounded wait, then SIGKILL; always reaped.
    ~TChild();
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    pid_t Pid() const noexcept { return Process; }
    bool Running();
    // The exit code, -signal for a death by signal, nothing if still running.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout);
    std::optional<int> Stop(std::chrono::milliseconds grace = 3s);

private:
    pid_t Process = -1;
    std::optional<int> Exit;
};

// Runs a command to its end within timeout (else it is killed) and returns
// its stdout; nothing if it failed or overran.
std::optional<std::string> RunCommand(const std::vector<std::string>& argv,
                                      const std::vector<std::string>& env,
                                      std::chrono::milliseconds timeout);

// One line of the sign's traffic log.
struct TSignEvent {
    double Seconds = 0;  // of the day, with milliseconds
    std::string Word;    // "in", "out", "bad", "start", ...
    std::string Text;
};

// The simulated sign on deviceDir/comN, logging to a file in deviceDir. A
// launcher (e.g. setpriv and its options) runs it as another user; program
// replaces the built simulator with another copy of it.
class TSign {
public:
    TSign(const std::filesystem::path& deviceDir, int com, const std::vector<std::string>& extra = {},
          const std::vector<std::string>& launcher = {}, const std::string& program = TARVIO_SIGN_SIM_PATH);
    // Waits until its link exists and its log says it started.
    bool WaitReady(std::chrono::milliseconds timeout = 10s);
    std::vector<TSignEvent> Events(const std::string& word) const;
    // Waits until the log holds at least count lines of word.
    bool WaitFor(const std::string& word, std::size_t count, std::chrono::milliseconds timeout = 10s) const;
    std::optional<int> Stop() { return Child.Stop(); }

private:
    std::filesystem::path Link;
    std::filesystem::path Log;
    TChild Child;
};

// A private Xvfb display for the real program's window.
class TDisplay {
public:
    TDisplay();
    // ":N", or empty when Xvfb could not start.
    const std::string& Name() const noexcept { return DisplayName; }
    bool Running() { return Server && Server->Running(); }
    // Until a client has connected and been answered.
    bool WaitUsable(std::chrono::milliseconds timeout = 10s);

private:
    std::string DisplayName;
    std::optional<TChild> Server;
};

// Settings file text for the program: port 3, the given prices, hour 7
// written as "07" so that any save shows as "Hora=7".
std::string BoardIni(const std::vector<std::string>& prices);
inline const std::vector<std::string> BoardPrices{"1459", "1529", "1389", "1449",
                                                   "0799", "0120", "0650", "0995"};
// The frame those prices make, and the sign's answer to it.
std::string PriceFrame(const std::vector<std::string>& prices);
std::string StatusAnswer(const std::vector<std::string>& prices, const std::string& status);

std::string ReadText(const std::filesystem::path& path);
bool ToolAvailable(const std::string& name);

} // namespace tarvio::e2e
