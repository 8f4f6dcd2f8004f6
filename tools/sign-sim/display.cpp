// Text renderings of the board.

#include "tools/sign-sim/display.h"

#include <array>

namespace tarvio::sim {

namespace {

constexpr int GlyphRows = 5;

// Three columns by five rows; '1' marks a lit cell. Index 10 is the glyph for
// anything that is not a digit or a space.
constexpr std::array<std::array<const char*, GlyphRows>, 12> Glyphs{{
    {"111", "101", "101", "101", "111"},  // 0
    {"010", "110", "010", "010", "111"},  // 1
    {"111", "001", "111", "100", "111"},  // 2
    {"111", "001", "111", "001", "111"},  // 3
    {"101", "101", "111", "001", "001"},  // 4
    {"111", "100", "111", "001", "111"},  // 5
    {"111", "100", "111", "101", "111"},  // 6
    {"111", "001", "010", "010", "010"},  // 7
    {"111", "101", "111", "101", "111"},  // 8
    {"111", "101", "111", "001", "111"},  // 9
    {"000", "000", "111", "000", "000"},  // not a digit
    {"000", "000", "000", "000", "000"},  // space
}};

const std::array<const char*, GlyphRows>& GlyphFor(char c)
{
    if (c >= '0' && c <= '9') return Glyphs[static_cast<std::size_t>(c - '0')];
    return c == ' ' ? Glyphs[11] : Glyphs[10];
}

char Printable(char c)
{
    auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u < 0x7f ? c : '?';
}

} // namespace

std::string RenderPlainPrices(const PriceSet& prices)
{
    std::string line = "prices";
    for (const std::string& price : prices) {
        line += ' ';
        for (char c : price) line += Printable(c);
    }
    return line;
}

std::string RenderBigBoard(const PriceSet& prices, const BoardInfo& info, bool unicode)
{
    const std::string lit = unicode ? "\u2588" : "#";
    std::string out = "\x1b[H\x1b[2J";
    out += "Simulated sign on " + info.Where + "   status \"" + info.Status + "\"   fault " +
           info.Fault + "\r\n";
    out += "frames " + std::to_string(info.Frames) +
           (info.LastFrameTime.empty() ? "" : "   last " + info.LastFrameTime) + "\r\n\r\n";
    for (std::size_t half = 0; half < 2; ++half) {
        for (std::size_t n = 0; n < 4; ++n) {
            std::string label = "  " + std::to_string(half * 4 + n + 1);
            out += label + std::string(19 - label.size(), ' ');
        }
        out += "\r\n";
        for (int row = 0; row < GlyphRows; ++row) {
            for (std::size_t n = 0; n < 4; ++n) {
                out += "  ";
                const std::string& price = prices[half * 4 + n];
                for (std::size_t d = 0; d < PriceWidth; ++d) {
                    const char* cells = GlyphFor(d < price.size() ? price[d] : ' ')[row];
                    for (int col = 0; col < 3; ++col) out += cells[col] == '1' ? lit : " ";
                    out += ' ';
                }
                out += ' ';
            }
            out += "\r\n";
        }
        out += "\r\n";
    }
    return out;
}

} // namespace tarvio::sim
