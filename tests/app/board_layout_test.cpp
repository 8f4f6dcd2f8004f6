// Row layout (with the trailing-run height rule) and caption colours.

#include "app/board_layout.h"

#include <gtest/gtest.h>

namespace tarvio {

void PrintTo(const TPoint& point, std::ostream* out)
{
    *out << "(" << point.X << ", " << point.Y << ")";
}

namespace {

TRowTexts Captions(std::initializer_list<int> hiddenRows)
{
    TRowTexts captions{"A", "B", "C", "D", "E", "F", "G", "H"};
    for (int row : hiddenRows) captions[row - 1] = "Vazio";
    return captions;
}

TEST(RowLayout, GapAboveVisibleRowsDoesNotShrinkTheWindow)
{
    // Rows 4 and 8 hidden: rows 5 to 7 are still visible, so the height is
    // that of the trailing run (row 8), not of row 4.
    TRowLayout layout = ComputeRowLayout(Captions({4, 8}));
    EXPECT_FALSE(layout.Visible[3]);
    EXPECT_TRUE(layout.Visible[4] && layout.Visible[5] && layout.Visible[6]);
    EXPECT_EQ(layout.OuterHeight, 340);
    EXPECT_EQ(layout.SairTop, 245);

    layout = ComputeRowLayout(Captions({2}));
    EXPECT_EQ(layout.OuterHeight, 380);
    EXPECT_EQ(layout.SairTop, 285);
}

TEST(RowLayout, OnlyTheExactWordHides)
{
    TRowTexts captions = Captions({});
    captions[7] = "vazio";
    captions[6] = "Vazio ";
    TRowLayout layout = ComputeRowLayout(captions);
    EXPECT_TRUE(layout.Visible[7]);
    EXPECT_TRUE(layout.Visible[6]);
    EXPECT_EQ(layout.OuterHeight, 380);
}

// The lowest-numbered hidden row decides, as the window was first drawn.
TRowLayout LowestHiddenRowRule(const TRowTexts& captions)
{
    TRowLayout layout;
    for (int row = RowCount - 1; row >= 0; --row) {
        if (captions[row] != "Vazio") continue;
        layout.OuterHeight = row == 7 ? 340 : row >= 3 ? 300 : 280;
        layout.SairTop = row == 7 ? 245 : row >= 3 ? 205 : 185;
    }
    return layout;
}

TEST(RowLayout, EveryCombinationKeepsVisibleRowsInsideTheWindow)
{
    constexpr int StatusBarHeight = 19;
    for (int mask = 0; mask < 256; ++mask) {
        TRowTexts captions = Captions({});
        int hiddenFrom = RowCount;  // first row of the hidden trailing run
        for (int row = 0; row < RowCount; ++row)
            if (mask & (1 << row)) captions[row] = "Vazio";
        while (hiddenFrom > 0 && (mask & (1 << (hiddenFrom - 1)))) --hiddenFrom;

        TRowLayout layout = ComputeRowLayout(captions);
        int clientBottom = layout.OuterHeight - FrameAndTitleHeight - StatusBarHeight;
        for (int row = 0; row < RowCount; ++row) {
            if (layout.Visible[row]) {
                EXPECT_LE(RowTop(row) + 33, clientBottom) << "mask " << mask;
            }
        }
        EXPECT_LE(layout.SairTop + 33, clientBottom) << "mask " << mask;

        bool hiddenOnlyAtBottom = mask == ((0xFF << hiddenFrom) & 0xFF);
        if (hiddenOnlyAtBottom) {
            TRowLayout original = LowestHiddenRowRule(captions);
            EXPECT_EQ(layout.OuterHeight, original.OuterHeight) << "mask " << mask;
            EXPECT_EQ(layout.SairTop, original.SairTop) << "mask " << mask;
        }
    }
}

struct ColourRow {
    const char* Name;
    std::optional<TRgb> Background;
    bool BlackText;
};

class CaptionColours : public ::testing::TestWithParam<ColourRow> {};

TEST_P(CaptionColours, NameGivesItsColours)
{
    std::optional<TCaptionColour> colour = CaptionColourFor(GetParam().Name);
    ASSERT_TRUE(colour);
    EXPECT_EQ(colour->Background, GetParam().Background);
    EXPECT_EQ(colour->BlackText, GetParam().BlackText);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CaptionColours,
    ::testing::Values(ColourRow{"Vazio", std::nullopt, false},
                      ColourRow{"Preto", TRgb{0, 0, 0}, false},
                      ColourRow{"Azul", TRgb{0, 0, 255}, false},
                      ColourRow{"Vermelho", TRgb{255, 0, 0}, false},
                      ColourRow{"Verde", TRgb{0, 128, 0}, false},
                      ColourRow{"Amarelo", TRgb{255, 255, 0}, true},
                      ColourRow{"Branco", TRgb{255, 255, 255}, true}));

TEST(WindowPlacement, CentredWhereItFitsTitleBarKeptOnAScreenTooSmall)
{
    // 1024 x 768 at 100 %: centred, as the window has always been placed.
    EXPECT_EQ(CentredTopLeft({0, 0, 1024, 768}, 558, 341), (TPoint{232, 213}));
    // A top panel of 27 pixels.
    EXPECT_EQ(CentredTopLeft({0, 27, 1366, 741}, 558, 341), (TPoint{403, 227}));
    // A 1024 x 600 netbook at 200 %: centred, the top rows and the title bar
    // with its close box would lie above the screen.
    EXPECT_EQ(CentredTopLeft({0, 0, 512, 300}, 558, 341), (TPoint{0, 0}));
    EXPECT_EQ(CentredTopLeft({0, 27, 1280, 333}, 558, 341), (TPoint{360, 27}));
}

TEST(CaptionColours, OtherNamesAndOtherCaseMatchNothing)
{
    EXPECT_FALSE(CaptionColourFor("amarelo"));
    EXPECT_FALSE(CaptionColourFor("AMARELO"));
    EXPECT_FALSE(CaptionColourFor("Roxo"));
    EXPECT_FALSE(CaptionColourFor(""));
}

} // namespace
} // namespace tarvio
