#pragma once
// Test rigs for the simulated sign as a separate process: the child itself
// (started with its stdout and stderr on pipes, always ended by its PID), and
// the program's end of the line, opened through the comN link the way the
// program opens it.

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tarvio::sim::test {

using namespace std::chrono_literals;

class SimProcess {
public:
    // Starts the executable with args; throws std::runtime_error if it cannot.
    explicit SimProcess(const std::vector<std::string>& args);
    ~SimProcess();  // a child still running gets SIGKILL and is reaped
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    pid_t Pid() const noexcept { return Child; }

    // The path from the "ready PATH" line, or nothing if it did not come in time
    // (or the child ended first).
    std::optional<std::string> WaitReady(std::chrono::milliseconds timeout = 5s);

    // Everything the child wrote so far.
    const std::string& Stdout();
    const std::string& Stderr();
    // Gives stdout and stderr the smallest pipes the kernel allows, so that
    // output nobody reads soon fills them.
    void ShrinkPipes();
    // Waits for stdout to contain text.
    bool WaitStdout(const std::string& text, std::chrono::milliseconds timeout = 3s);

    // Sends sig and waits for the end; the exit code, or -signal when it died
    // by a signal, or nothing when it did not end in time (it is then killed).
    std::optional<int> Stop(int sig, std::chrono::milliseconds timeout = 5s);
    // Waits for the child to end by itself.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout = 5s);

private:
    void Drain();
    bool Reap(bool block);

    pid_t Child = -1;
    int OutFd = -1;
    int ErrFd = -1;
    std::string Out;
    std::string Err;
    std::optional<int> ExitCode;
};

// Runs the simulator to its end with args; for argument errors and --help.
struct SimRun {
    std::optional<int> ExitCode;
    std::string Stdout;
    std::string Stderr;
};
SimRun RunSim(const std::vector<std::string>& args);

// The program's side of the line: opens the link raw and non-blocking.
class ProgramEnd {
public:
    explicit ProgramEnd(const std::string& path);
    ~ProgramEnd();
    ProgramEnd(const ProgramEnd&) = delete;
    ProgramEnd& operator=(const ProgramEnd&) = delete;

    void Write(const std::string& bytes) const;
    // Until count bytes have come or the time-out passes.
    std::string ReadExactly(std::size_t count, std::chrono::milliseconds timeout) const;
    // What comes until the line has been quiet for the given time (bounded by limit).
    std::string ReadUntilQuiet(std::chrono::milliseconds quiet,
                               std::chrono::milliseconds limit = 5s) const;
    // Bytes waiting to be read, at this instant.
    std::size_t Queued() const;
    void Close();

private:
    int Fd = -1;
};

// Whole text of a file, "" when missing.
std::string ReadFile(const std::string& path);

} // namespace tarvio::sim::test
