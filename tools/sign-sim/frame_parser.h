#pragma once
// Cuts the byte stream from the program into price frames. A frame runs from
// "@" to the next "*"; bytes outside a frame are ignored, and an "@" inside an
// unfinished frame starts over, so a frame cut short by a reopened port does
// not swallow the next one. Pure and single-threaded; holds at most one
// frame's worth of bytes however long a run without "*" grows.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarvio::sim {

inline constexpr std::size_t FrameLength = 34;
inline constexpr std::size_t PriceCount = 8;
inline constexpr std::size_t PriceWidth = 4;

using PriceSet = std::array<std::string, PriceCount>;

struct FrameEvent {
    enum class TKind { fkFrame, fkWrongLength, fkAbandoned };
    TKind Kind;
    std::size_t Length;  // bytes from "@" to "*" inclusive, or up to the new "@"
    std::string Bytes;   // the frame, or its first bytes when it was too long
    PriceSet Prices;     // only for fkFrame
};

class FrameParser {
public:
    // Appends what the bytes complete to events; earlier events stay.
    void Feed(std::string_view bytes, std::vector<FrameEvent>& events);
    bool InFrame() const noexcept { return Collecting; }

private:
    void Finish(FrameEvent::TKind kind, std::vector<FrameEvent>& events);

    static constexpr std::size_t KeepBytes = 64;
    std::array<char, KeepBytes> Buffer{};
    std::size_t Kept = 0;
    std::size_t Length = 0;
    bool Collecting = false;
};

} // namespace tarvio::sim
