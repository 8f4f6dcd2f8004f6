// Printing that never holds up the line.

#include "tools/sign-sim/text_out.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace tarvio::sim {

namespace {

// The descriptor is usually shared with the shell that started us, so it is
// made non-blocking only for the length of the write: the shell must not find
// its terminal left non-blocking.
ssize_t WriteNow(int fd, const char* data, std::size_t size)
{
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    bool toggle = !(flags & O_NONBLOCK);
    if (toggle && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
    ssize_t n = ::write(fd, data, size);
    int saved = errno;
    if (toggle) ::fcntl(fd, F_SETFL, flags);
    errno = saved;
    return n;
}

} // namespace

void TextOut::Print(std::string_view text)
{
    if (Buffer.size() + text.size() > Limit) {
        ++DroppedCount;
        return;
    }
    Buffer.append(text);
    Flush();
}

void TextOut::Flush()
{
    while (!Buffer.empty()) {
        ssize_t n = WriteNow(Descriptor, Buffer.data(), Buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        if (n <= 0) {
            // The reader is gone (or the descriptor unusable): nothing will
            // take this text, and keeping it would only spin the main loop.
            ++DroppedCount;
            Noted = DroppedCount;
            Buffer.clear();
            return;
        }
        Buffer.erase(0, static_cast<std::size_t>(n));
        if (Buffer.empty() && Noted < DroppedCount) {
            Buffer = "tarvio-sign-sim: " + std::to_string(DroppedCount - Noted) +
                     " message(s) not shown: nobody read the output\n";
            Noted = DroppedCount;
        }
    }
}

} // namespace tarvio::sim
