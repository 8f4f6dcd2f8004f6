// Row layout and caption colours.

#include "app/board_layout.h"

#include <algorithm>

namespace tarvio {

namespace {

struct THeights {
    int Outer;
    int SairTop;
};

THeights HeightsWhenHiddenFrom(int row)
{
    if (row == 7) return {340, 245};
    if (row >= 3) return {300, 205};
    return {280, 185};
}

} // namespace

TRowLayout ComputeRowLayout(const TRowTexts& captions)
{
    TRowLayout layout;
    int lastVisible = -1;
    for (int row = 0; row < RowCount; ++row) {
        layout.Visible[row] = captions[row] != HiddenCaption;
        if (layout.Visible[row]) lastVisible = row;
    }
    if (lastVisible < RowCount - 1) {
        THeights heights = HeightsWhenHiddenFrom(lastVisible + 1);
        layout.OuterHeight = heights.Outer;
        layout.SairTop = heights.SairTop;
    }
    return layout;
}

TPoint CentredTopLeft(const TArea& area, int width, int height)
{
    // The centre as the toolkit rounds it, so a window that fits lands where
    // it always has.
    const int centreX = (2 * area.Left + area.Width - 1) / 2;
    const int centreY = (2 * area.Top + area.Height - 1) / 2;
    return {std::max(centreX - width / 2, area.Left), std::max(centreY - height / 2, area.Top)};
}

std::optional<TCaptionColour> CaptionColourFor(const std::string& name)
{
    if (name == "Vazio") return TCaptionColour{std::nullopt, false};
    if (name == "Preto") return TCaptionColour{TRgb{0, 0, 0}, false};
    if (name == "Azul") return TCaptionColour{TRgb{0, 0, 255}, false};
    if (name == "Vermelho") return TCaptionColour{TRgb{255, 0, 0}, false};
    if (name == "Verde") return TCaptionColour{TRgb{0, 128, 0}, false};
    if (name == "Amarelo") return TCaptionColour{TRgb{255, 255, 0}, true};
    if (name == "Branco") return TCaptionColour{TRgb{255, 255, 255}, true};
    return std::nullopt;
}

} // namespace tarvio
