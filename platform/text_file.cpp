// Text files over POSIX descriptors, with errno turned into the runtime's
// input/output error numbers.

#include "platform/text_file.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo::win {

namespace {

constexpr std::size_t FlushAt = 512;

DWORD IoErrorFromErrno(int error)
{
    switch (error) {
    case ENOENT: return 2;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return 3;
    case EMFILE:
    case ENFILE: return 4;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EEXIST: return 5;
    case EBADF: return 6;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return 101;
    case EROFS: return 150;
    default: return 162;
    }
}

} // namespace

TTextFile::~TTextFile()
{
    if (Fd >= 0) ::close(Fd);
}

DWORD TTextFile::Open(const std::string& path, bool append)
{
    if (Fd >= 0) Close();
    FirstError = 0;
    Pending.clear();
    // Not blocking while opening: a FIFO nobody reads fails (ENXIO) instead
    // of holding the caller, and a terminal neither waits for its carrier nor
    // becomes the controlling one.
    int flags =
        O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (append ? O_APPEND : O_TRUNC);
    do {
        Fd = ::open(path.c_str(), flags, 0666);
    } while (Fd < 0 && errno == EINTR);
    if (Fd >= 0) {
        int status = ::fcntl(Fd, F_GETFL);
        if (status != -1) ::fcntl(Fd, F_SETFL, status & ~O_NONBLOCK);
        struct stat info;
        const bool known = ::fstat(Fd, &info) == 0;
        OpenedSize = append && known ? info.st_size : 0;
        IsPipe = known && S_ISFIFO(info.st_mode);
        return 0;
    }
    int error = errno;
    // Windows tells a missing folder (3) from a missing file (2).
    if (error == ENOENT) {
        std::string::size_type slash = path.find_last_of('/');
        std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        struct stat info;
        if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return 3;
    }
    return IoErrorFromErrno(error);
}

DWORD TTextFile::Write(std::string_view text)
{
    if (Fd < 0) return FirstError ? FirstError : 6;
    Pending.append(text);
    if (Pending.size() >= FlushAt) Flush();
    return FirstError;
}

DWORD TTextFile::Flush()
{
    // A FIFO whose reader has gone fails the write with EPIPE, and the signal
    // that comes with it would end the program: it is held back for this
    // thread and taken away unless it was already waiting.
    sigset_t pipe;
    sigset_t before;
    bool pipeWaiting = false;
    if (IsPipe) {
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &before);
        sigset_t waiting;
        pipeWaiting = sigpending(&waiting) == 0 && sigismember(&waiting, SIGPIPE) == 1;
    }
    std::size_t done = 0;
    while (done < Pending.size() && FirstError == 0) {
        ssize_t wrote = ::write(Fd, Pending.data() + done, Pending.size() - done);
        if (wrote < 0) {
            const int error = errno;
            if (error == EINTR) continue;
            FirstError = IoErrorFromErrno(error);
            if (error == EPIPE && IsPipe && !pipeWaiting) {
                const timespec none{};
                while (sigtimedwait(&pipe, nullptr, &none) < 0 && errno == EINTR) {
                }
            }
        } else {
            done += static_cast<std::size_t>(wrote);
        }
    }
    if (IsPipe) pthread_sigmask(SIG_SETMASK, &before, nullptr);
    Pending.clear();
    return FirstError;
}

DWORD TTextFile::Close()
{
    if (Fd < 0) return FirstError;
    Flush();
    // Best effort: a file that cannot be cut back keeps the part written.
    if (FirstError != 0) (void)::ftruncate(Fd, static_cast<off_t>(OpenedSize));
    if (::close(Fd) != 0 && FirstError == 0) FirstError = IoErrorFromErrno(errno);
    Fd = -1;
    return FirstError;
}

} // namespace kivo::win
