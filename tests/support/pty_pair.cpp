// Pseudo-terminal pairs for tests.

#include "tests/support/pty_pair.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace kivo::test {

namespace {
[[noreturn]] void Fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}
} // namespace

PtyPair::PtyPair()
{
    Controller = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Controller < 0) Fail("posix_openpt");
    if (::grantpt(Controller) != 0 || ::unlockpt(Controller) != 0) Fail("unlockpt");
    char name[128];
    if (::ptsname_r(Controller, name, sizeof name) != 0) Fail("ptsname_r");
    Subsidiary = name;
    termios tio{};
    if (::tcgetattr(Controller, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(Controller, TCSANOW, &tio);
    }
}

PtyPair::~PtyPair()
{
    CloseController();
}

void PtyPair::CloseController()
{
    if (Controller >= 0) ::close(Controller);
    Controller = -1;
}

void PtyPair::LinkAs(const std::filesystem::path& dir, const std::string& name) const
{
    std::filesystem::create_directories(dir);
    std::error_code ignored;
    std::filesystem::remove(dir / name, ignored);
    std::filesystem::create_symlink(Subsidiary, dir / name);
}

void PtyPair::Write(const std::string& data) const
{
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(Controller, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{Controller, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            Fail("write to pty");
        }
    }
}

bool PtyPair::WriteWithin(const std::string& data, std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(Controller, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) Fail("write to pty");
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{Controller, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
    }
    return true;
}

std::string PtyPair::ReadExactly(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    while (got.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{Controller, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        ssize_t n = ::read(Controller, buffer, std::min(sizeof buffer, count - got.size()));
        if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
    }
    return got;
}

std::string PtyPair::ReadAvailable(std::chrono::milliseconds quiet) const
{
    std::string got;
    char buffer[4096];
    for (;;) {
        pollfd p{Controller, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
        ssize_t n = ::read(Controller, buffer, sizeof buffer);
        if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
    }
    return got;
}

} // namespace kivo::test
