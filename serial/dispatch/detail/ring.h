#pragma once
// Position arithmetic of the byte rings (the 8192-byte dispatch buffer, the
// output ring): a head where bytes go in, a tail where they come out, and a
// full flag that tells a full ring from an empty one when the two meet.

#include <cstdint>
#include <cstring>

namespace kivo::detail {

inline constexpr std::uint32_t DispatchBufferSize = 8192;

constexpr std::uint32_t RingHeld(std::uint32_t head, std::uint32_t tail, bool full,
                                 std::uint32_t size)
{
    if (head == tail) return full ? size : 0;
    return head > tail ? head - tail : head + size - tail;
}

// A position moved on by count; one that lands on size is 0.
constexpr std::uint32_t RingAdvance(std::uint32_t pos, std::uint32_t count, std::uint32_t size)
{
    pos += count;
    while (pos >= size) pos -= size;
    return pos;
}

// Copies count bytes starting at from, up to the end of the ring and then on
// from its start.
inline void RingCopyOut(const std::uint8_t* ring, std::uint32_t size, std::uint32_t from,
                        std::uint8_t* destination, std::uint32_t count)
{
    std::uint32_t first = size - from < count ? size - from : count;
    std::memcpy(destination, ring + from, first);
    if (count > first) std::memcpy(destination + first, ring, count - first);
}

} // namespace kivo::detail
