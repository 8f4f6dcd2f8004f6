#pragma once
// How the simulated sign shows its eight prices: large digits redrawn in place
// on a terminal, one plain line per frame elsewhere. The renderers are pure;
// the caller decides where the text goes.

#include "tools/sign-sim/frame_parser.h"

#include <string>

namespace tarvio::sim {

struct BoardInfo {
    std::string Where;   // link or port path
    std::string Status;  // status code being sent
    std::string Fault;   // fault mode name
    unsigned long Frames = 0;
    std::string LastFrameTime;
};

// "prices 1234 0999 ..." with each price between no quotes; characters that
// would not print are shown as '?'.
std::string RenderPlainPrices(const PriceSet& prices);

// The whole board, from the top-left corner of a cleared screen, five rows
// of glyphs per price line; unicode picks block characters over '#'.
std::string RenderBigBoard(const PriceSet& prices, const BoardInfo& info, bool unicode);

} // namespace tarvio::sim
