#pragma once
// The row layout the window applies at first show, and the caption panels'
// colour names. Pure rules, so every layout can be checked without a window.

#include "app/board_settings.h"

#include <array>
#include <optional>
#include <string>

namespace tarvio {

inline constexpr int ClientWidth = 558;
// The layout's heights count a frame and title bar of this many pixels; the
// window sets its client height without them, so it comes out the same with
// or without a window manager.
inline constexpr int FrameAndTitleHeight = 39;
inline constexpr int DesignedOuterHeight = 380;
inline constexpr int DesignedSairTop = 285;

inline const std::string HiddenCaption = "Vazio";

struct TRowLayout {
    std::array<bool, RowCount> Visible{};
    int OuterHeight = DesignedOuterHeight;
    int SairTop = DesignedSairTop;
};

// A row whose caption is exactly "Vazio" is hidden and leaves its gap. The
// height and the top of "Sair" follow the hidden rows below the last visible
// row (so no visible row is ever cut off): the heights of the lowest-numbered
// row of that trailing run, 340/245 for row 8, 300/205 for rows 4 to 7,
// 280/185 for rows 1 to 3; 380/285 when row 8 is visible.
TRowLayout ComputeRowLayout(const TRowTexts& captions);

// Top edge of row (0-based).
constexpr int RowTop(int row)
{
    return 8 + 40 * row;
}

struct TArea {
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
};

struct TPoint {
    int X = 0;
    int Y = 0;
    friend bool operator==(const TPoint&, const TPoint&) = default;
};

// Where the window's top-left corner goes: centred in the screen's work area;
// a window larger than the area (a small screen, a large scale) keeps its
// top-left corner, and with it the title bar and close box, inside it.
TPoint CentredTopLeft(const TArea& area, int width, int height);

struct TRgb {
    int Red = 0;
    int Green = 0;
    int Blue = 0;
    friend bool operator==(const TRgb&, const TRgb&) = default;
};

// What a colour name does to a caption panel. Names match exactly, letter
// case included; a name that matches nothing gives no colour (the panel
// stays as designed).
struct TCaptionColour {
    std::optional<TRgb> Background;  // none: the system's button-face colour
    bool BlackText = false;
};
std::optional<TCaptionColour> CaptionColourFor(const std::string& name);

} // namespace tarvio
