// Child processes, the simulated sign, the private display and the
// settings text of the end-to-end tests.

#include "tests/e2e/e2e_rig.h"

#include "tests/support/wait_until.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tarvio::e2e {

using kivo::test::WaitUntil;

namespace {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra)
{
    std::vector<std::string> merged;
    for (char** entry = environ; *entry; ++entry) {
        std::string text(*entry);
        std::string key = text.substr(0, text.find('=') + 1);
        bool replaced = std::any_of(extra.begin(), extra.end(),
                                    [&](const std::string& e) { return e.rfind(key, 0) == 0; });
        if (!replaced) merged.push_back(text);
    }
    merged.insert(merged.end(), extra.begin(), extra.end());
    return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> raw;
    for (std::string& text : texts) raw.push_back(text.data());
    raw.push_back(nullptr);
    return raw;
}

} // namespace

// ---- Child processes ----------------------------------------------------------

TChild::TChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const std::string& output, int passFd)
{
    std::vector<std::string> args = argv;
    std::vector<std::string> environment = MergedEnvironment(env);
    std::vector<char*> rawArgs = Pointers(args);
    std::vector<char*> rawEnv = Pointers(environment);

    // A descriptor that is already 3 would keep its close-on-exec flag.
    int handOver = passFd == 3 ? ::fcntl(passFd, F_DUPFD_CLOEXEC, 10) : passFd;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (handOver >= 0) posix_spawn_file_actions_adddup2(&actions, handOver, 3);
    int failed = ::posix_spawnp(&Process, rawArgs[0], &actions, nullptr, rawArgs.data(), rawEnv.data());
    posix_spawn_file_actions_destroy(&actions);
    if (handOver != passFd) ::close(handOver);
    if (failed != 0) {
        Process = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(failed));
    }
}

TChild::~TChild()
{
    Stop();
}

bool TChild::Running()
{
    if (Process <= 0 || Exit) return false;
    int status = 0;
    if (::waitpid(Process, &status, WNOHANG) != Process) return true;
    Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return false;
}

std::optional<int> TChild::WaitExit(std::chrono::milliseconds timeout)
{
    WaitUntil(timeout, [&] { return !Running(); });
    return Exit;
}

std::optional<int> TChild::Stop(std::chrono::milliseconds grace)
{
    if (!Running()) return Exit;
    ::kill(Process, SIGTERM);
    if (WaitExit(grace)) return Exit;
    ::kill(Process, SIGKILL);
    int status = 0;
    if (::waitpid(Process, &status, 0) == Process) Exit = -SIGKILL;
    return Exit;
}

std::optional<std::string> RunCommand(const std::vector<std::string>& argv,
                                      const std::vector<std::string>& env,
                                      std::chrono::milliseconds timeout)
{
    char name[] = "/tmp/tarvio-e2e-outXXXXXX";
    int fd = ::mkstemp(name);
    if (fd < 0) return std::nullopt;
    ::close(fd);
    std::optional<int> exit;
    {
        TChild child(argv, env, name);
        exit = child.WaitExit(timeout);
    }
    std::string text = ReadText(name);
    ::unlink(name);
    if (!exit || *exit != 0) return std::nullopt;
    return text;
}

bool ToolAvailable(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    return false;
}

// ---- The sign ---------------------------------------------------------------------

TSign::TSign(const std::filesystem::path& deviceDir, int com, const std::vector<std::string>& extra,
             const std::vector<std::string>& launcher, const std::string& program)
    : Link(deviceDir / ("com" + std::to_string(com))),
      Log(deviceDir / ("sign" + std::to_string(com) + ".log")),
      Child(
          [&] {
              std::filesystem::remove(Log);
              std::vector<std::string> argv = launcher;
              argv.insert(argv.end(), {program, "--device-dir", deviceDir.string(), "--com",
                                       std::to_string(com), "--log", Log.string(), "--quiet"});
              argv.insert(argv.end(), extra.begin(), extra.end());
              return argv;
          }(),
          {}, (deviceDir / ("sign" + std::to_string(com) + ".out")).string())
{
}

bool TSign::WaitReady(std::chrono::milliseconds timeout)
{
    return WaitUntil(timeout, [&] {
        return std::filesystem::is_symlink(Link) && !Events("start").empty();
    });
}

std::vector<TSignEvent> TSign::Events(const std::string& word) const
{
    std::vector<TSignEvent> events;
    std::ifstream in(Log);
    for (std::string line; std::getline(in, line);) {
        // "YYYY-MM-DD HH:MM:SS.mmm word text"
        if (line.size() < 25 || line[10] != ' ' || line[23] != ' ') continue;
        TSignEvent event;
        event.Seconds = std::stoi(line.substr(11, 2)) * 3600.0 + std::stoi(line.substr(14, 2)) * 60.0 +
                        std::stod(line.substr(17, 6));
        std::string rest = line.substr(24);
        std::size_t space = rest.find(' ');
        event.Word = rest.substr(0, space);
        if (space != std::string::npos) event.Text = rest.substr(space + 1);
        if (event.Word == word) events.push_back(event);
    }
    return events;
}

bool TSign::WaitFor(const std::string& word, std::size_t count, std::chrono::milliseconds timeout) const
{
    return WaitUntil(timeout, [&] { return Events(word).size() >= count; });
}

// ---- The display ------------------------------------------------------------------

TDisplay::TDisplay()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    try {
        // No reset when the last client leaves: a probe's disconnect must
        // not race the program's connect.
        Server.emplace(std::vector<std::string>{"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24",
                                                "-nolisten", "tcp", "-noreset"},
                       std::vector<std::string>{}, "/dev/null", fds[1]);
    } catch (const std::exception&) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    ::close(fds[1]);
    // Xvfb writes the display number it chose once it accepts clients.
    std::string number;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline && number.find('\n') == std::string::npos) {
        pollfd wait{fds[0], POLLIN, 0};
        if (::poll(&wait, 1, 100) <= 0) continue;
        char buffer[32];
        ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        number.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (number.find('\n') != std::string::npos) DisplayName = ":" + number.substr(0, number.find('\n'));
}

bool TDisplay::WaitUsable(std::chrono::milliseconds timeout)
{
    // A server that has just reported its number has been seen to refuse a
    // first client now and then; one answered probe rules that out.
    return !DisplayName.empty() && WaitUntil(timeout, [&] {
        return RunCommand({"xdotool", "getdisplaygeometry"}, {"DISPLAY=" + DisplayName}, 5s).has_value();
    });
}

// ---- Texts ----------------------------------------------------------------------

std::string BoardIni(const std::vector<std::string>& prices)
{
    static const char* const Captions[] = {"Gasolina 95", "Gasolina 98", "Gasoleo", "Gasoleo Plus",
                                           "GPL Auto",    "AdBlue",      "Lavagem", "Aspirador"};
    std::ostringstream out;
    out << "; written by the end-to-end test\n[Porta]\nPort=3\n\n[Tarvio]\n";
    for (std::size_t row = 0; row < prices.size(); ++row)
        out << "P" << row + 1 << "=" << prices[row] << "\n";
    out << "\n[Hora_Muda]\nHora=07\nMinuto=30\n\n[Texto]\n";
    for (std::size_t row = 0; row < 8; ++row) out << "Des" << row + 1 << "=" << Captions[row] << "\n";
    out << "\n[Cores]\n";
    for (std::size_t row = 0; row < 8; ++row) out << "Cor" << row + 1 << "=Verde\n";
    return out.str();
}

std::string PriceFrame(const std::vector<std::string>& prices)
{
    std::string frame = "@";
    for (const std::string& price : prices) frame += price;
    return frame + "*";
}

std::string StatusAnswer(const std::vector<std::string>& prices, const std::string& status)
{
    std::string answer = "@ALIVE-";
    for (const std::string& price : prices) answer += price + " ";
    return answer + status + "*";
}

std::string ReadText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace tarvio::e2e
