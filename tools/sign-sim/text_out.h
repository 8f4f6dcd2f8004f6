#pragma once
// What the simulated sign prints, on a descriptor nobody may be reading (a
// pipe left undrained, a terminal held with Ctrl+S). Printing never waits:
// text the reader has not taken yet waits here, up to a bound, and goes out
// as the main loop finds the descriptor writable; a message that does not fit
// is dropped whole and counted. Owned by the main loop; not thread-safe.

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvio::sim {

class TextOut {
public:
    explicit TextOut(int fd) : Descriptor(fd) {}

    // Queues text and writes what the descriptor takes now.
    void Print(std::string_view text);
    // Writes what the descriptor takes now.
    void Flush();

    int Fd() const noexcept { return Descriptor; }
    bool Waiting() const noexcept { return !Buffer.empty(); }
    // Messages dropped so far.
    unsigned long Dropped() const noexcept { return DroppedCount; }

private:
    // A few of the large boards.
    static constexpr std::size_t Limit = 16 * 1024;

    int Descriptor;
    std::string Buffer;
    unsigned long DroppedCount = 0;
    unsigned long Noted = 0;  // drops already told to the reader
};

} // namespace tarvio::sim
