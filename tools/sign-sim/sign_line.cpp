// Pseudo-terminal and port set-up for the simulated sign; the only file here
// that speaks termios.

#include "tools/sign-sim/sign_line.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace tarvio::sim {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Fail(const std::string& what, int error)
{
    throw LineError(what + ": " + std::strerror(error));
}

void MakeRaw9600(int fd, const std::string& what)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) Fail("cannot read the settings of " + what, errno);
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;  // so that an empty read says EAGAIN and 0 means hang-up
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) Fail("cannot set up " + what, errno);
}

} // namespace

std::unique_ptr<SignLine> SignLine::CreatePseudoTerminal(const fs::path& deviceDir, int com)
{
    std::unique_ptr<SignLine> line(new SignLine);
    line->Fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line->Fd < 0) Fail("cannot open a pseudo-terminal", errno);
    if (::grantpt(line->Fd) != 0 || ::unlockpt(line->Fd) != 0)
        Fail("cannot unlock the pseudo-terminal", errno);
    char name[128];
    if (::ptsname_r(line->Fd, name, sizeof name) != 0)
        Fail("cannot name the pseudo-terminal", errno);
    line->DevicePath = name;
    MakeRaw9600(line->Fd, "the pseudo-terminal");

    line->HeldSubsidiary = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line->HeldSubsidiary < 0) Fail(std::string("cannot open ") + name, errno);
    // Without this the far end would echo our packets back to us until the
    // program sets its own mode.
    MakeRaw9600(line->HeldSubsidiary, name);

    std::error_code error;
    fs::create_directories(deviceDir, error);
    if (error) throw LineError("cannot make the device directory " + deviceDir.string() + ": " +
                               error.message());
    fs::path link = fs::absolute(deviceDir, error) / ("com" + std::to_string(com));
    auto status = fs::symlink_status(link, error);
    if (fs::exists(status) && !fs::is_symlink(status))
        throw LineError(link.string() + " exists and is not a link; leaving it alone");
    // Only a pseudo-terminal's link is a simulator's; any other is a port the
    // operator mapped (an unplugged adapter's number too), lost if replaced.
    if (fs::is_symlink(status)) {
        fs::path target = fs::read_symlink(link, error);
        if (target.parent_path() != fs::path(name).parent_path())
            throw LineError(link.string() + " leads to " + target.string() +
                            ", not to a pseudo-terminal; leaving it alone (choose another "
                            "--com or --device-dir)");
    }

    // A link left by a simulator that was killed is replaced in one step, so the
    // program never finds the name missing or half made.
    fs::path temporary = link;
    temporary += ".new-" + std::to_string(::getpid());
    fs::remove(temporary, error);
    fs::create_symlink(name, temporary, error);
    if (error) throw LineError("cannot make the link " + link.string() + ": " + error.message());
    fs::rename(temporary, link, error);
    if (error) {
        fs::remove(temporary, error);
        throw LineError("cannot make the link " + link.string());
    }
    line->Link = link;
    line->WherePath = link.string();
    return line;
}

std::unique_ptr<SignLine> SignLine::OpenPort(const std::string& path)
{
    std::unique_ptr<SignLine> line(new SignLine);
    line->Fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line->Fd < 0) Fail("cannot open " + path, errno);
    if (::flock(line->Fd, LOCK_EX | LOCK_NB) != 0)
        Fail(path + " is in use by another program", errno);
    if (!::isatty(line->Fd)) throw LineError(path + " is not a serial port");
    MakeRaw9600(line->Fd, path);
    ::ioctl(line->Fd, TIOCEXCL);  // best effort: root passes it anyway
    ::tcflush(line->Fd, TCIOFLUSH);
    line->DevicePath = path;
    line->WherePath = path;
    return line;
}

SignLine::~SignLine()
{
    if (!Link.empty()) {
        std::error_code error;
        if (fs::read_symlink(Link, error) == fs::path(DevicePath)) fs::remove(Link, error);
    }
    if (HeldSubsidiary >= 0) ::close(HeldSubsidiary);
    if (Fd >= 0) {
        if (HeldSubsidiary < 0) ::ioctl(Fd, TIOCNXCL);
        ::close(Fd);
    }
}

std::size_t SignLine::ReadSome(char* buffer, std::size_t capacity)
{
    for (;;) {
        ssize_t n = ::read(Fd, buffer, capacity);
        if (n > 0) return static_cast<std::size_t>(n);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        if (n == 0) throw LineError(WherePath + " hung up");
        Fail("cannot read from " + WherePath, errno);
    }
}

std::size_t SignLine::WriteSome(std::string_view bytes)
{
    for (;;) {
        ssize_t n = ::write(Fd, bytes.data(), bytes.size());
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        Fail("cannot write to " + WherePath, errno);
    }
}

std::size_t SignLine::DiscardUnread()
{
    if (HeldSubsidiary < 0) return 0;
    int unread = 0;
    if (::ioctl(HeldSubsidiary, FIONREAD, &unread) != 0 || unread <= 0) return 0;
    ::tcflush(HeldSubsidiary, TCIFLUSH);
    return static_cast<std::size_t>(unread);
}

std::optional<bool> SignLine::FarEndReady() const
{
    int lines = 0;
    if (::ioctl(Fd, TIOCMGET, &lines) != 0) return std::nullopt;
    return (lines & TIOCM_DSR) != 0;
}

void SignLine::SendBreak()
{
    // A pty takes TIOCSBRK and does nothing; only a line that reports modem
    // signals is taken to send breaks as well.
    if (!FarEndReady()) throw LineError("this line cannot send a break");
    if (::ioctl(Fd, TIOCSBRK) != 0) Fail("cannot start a break", errno);
    // Longer than a character at 9600 baud, so the far UART sees a break.
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    if (::ioctl(Fd, TIOCCBRK) != 0) Fail("cannot end a break", errno);
}

} // namespace tarvio::sim
