// The simulator as a child process, and the program's end of its line.

#include "tests/sign-sim/sim_process.h"

#include "tests/support/wait_until.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace tarvio::sim::test {

using kivo::test::WaitUntil;

SimProcess::SimProcess(const std::vector<std::string>& args)
{
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    std::vector<std::string> argv{TARVIO_SIGN_SIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    int failed = ::posix_spawn(&Child, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    OutFd = out[0];
    ErrFd = err[0];
    ::fcntl(OutFd, F_SETFL, O_NONBLOCK);
    ::fcntl(ErrFd, F_SETFL, O_NONBLOCK);
    if (failed != 0) {
        Child = -1;
        throw std::runtime_error(std::string("cannot start the simulator: ") + std::strerror(failed));
    }
}

SimProcess::~SimProcess()
{
    if (Child > 0 && !ExitCode) {
        ::kill(Child, SIGKILL);
        Reap(true);
    }
    ::close(OutFd);
    ::close(ErrFd);
}

void SimProcess::Drain()
{
    char buffer[4096];
    for (auto [fd, text] : {std::pair{OutFd, &Out}, std::pair{ErrFd, &Err}}) {
        for (int i = 0; i < 64; ++i) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            text->append(buffer, static_cast<std::size_t>(n));
        }
    }
}

bool SimProcess::Reap(bool block)
{
    if (ExitCode) return true;
    int status = 0;
    pid_t done = ::waitpid(Child, &status, block ? 0 : WNOHANG);
    if (done != Child) return false;
    ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    Drain();
    return true;
}

const std::string& SimProcess::Stdout()
{
    Drain();
    return Out;
}

const std::string& SimProcess::Stderr()
{
    Drain();
    return Err;
}

std::optional<std::string> SimProcess::WaitReady(std::chrono::milliseconds timeout)
{
    std::optional<std::string> path;
    WaitUntil(timeout, [&] {
        Drain();
        if (auto at = Out.find("ready "); at != std::string::npos) {
            auto end = Out.find('\n', at);
            if (end != std::string::npos) path = Out.substr(at + 6, end - at - 6);
        }
        return path.has_value() || Reap(false);
    });
    return path;
}

void SimProcess::ShrinkPipes()
{
    for (int fd : {OutFd, ErrFd})
        if (::fcntl(fd, F_SETPIPE_SZ, 4096) < 0) throw std::runtime_error("F_SETPIPE_SZ");
}

bool SimProcess::WaitStdout(const std::string& text, std::chrono::milliseconds timeout)
{
    return WaitUntil(timeout, [&] { return Stdout().find(text) != std::string::npos; });
}

std::optional<int> SimProcess::WaitExit(std::chrono::milliseconds timeout)
{
    if (!WaitUntil(timeout, [&] { return Reap(false); })) {
        ::kill(Child, SIGKILL);
        Reap(true);
        return std::nullopt;
    }
    return ExitCode;
}

std::optional<int> SimProcess::Stop(int sig, std::chrono::milliseconds timeout)
{
    if (!ExitCode) ::kill(Child, sig);
    return WaitExit(timeout);
}

SimRun RunSim(const std::vector<std::string>& args)
{
    SimProcess sim(args);
    SimRun run;
    run.ExitCode = sim.WaitExit();
    run.Stdout = sim.Stdout();
    run.Stderr = sim.Stderr();
    return run;
}

ProgramEnd::ProgramEnd(const std::string& path)
{
    Fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    termios tio{};
    ::tcgetattr(Fd, &tio);
    ::cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::tcsetattr(Fd, TCSANOW, &tio);
}

ProgramEnd::~ProgramEnd()
{
    Close();
}

std::size_t ProgramEnd::Queued() const
{
    int queued = 0;
    if (::ioctl(Fd, FIONREAD, &queued) != 0) throw std::runtime_error("FIONREAD");
    return static_cast<std::size_t>(queued);
}

void ProgramEnd::Close()
{
    if (Fd >= 0) ::close(Fd);
    Fd = -1;
}

void ProgramEnd::Write(const std::string& bytes) const
{
    std::size_t done = 0;
    for (int attempt = 0; done < bytes.size() && attempt < 1000; ++attempt) {
        ssize_t n = ::write(Fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{Fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            throw std::runtime_error(std::string("write: ") + std::strerror(errno));
        }
    }
    if (done < bytes.size()) throw std::runtime_error("the line did not take the bytes");
}

std::string ProgramEnd::ReadExactly(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[512];
    while (got.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{Fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        ssize_t n = ::read(Fd, buffer, std::min(sizeof buffer, count - got.size()));
        if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
    }
    return got;
}

std::string ProgramEnd::ReadUntilQuiet(std::chrono::milliseconds quiet,
                                       std::chrono::milliseconds limit) const
{
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[512];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{Fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
        ssize_t n = ::read(Fd, buffer, sizeof buffer);
        if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
    }
    return got;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace tarvio::sim::test
