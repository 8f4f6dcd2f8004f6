// The window as designed and the row layout of the first show.

#include "app/board_layout.h"
#include "tests/app/window_fixture.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QStyle>
#include <QStyleOptionButton>

#include <algorithm>
#include <cmath>

namespace tarvio::test {
namespace {

class WindowLayout : public WindowTest {};

void ExpectRowVisible(TForm1& form, int row, bool visible)
{
    SCOPED_TRACE("row " + std::to_string(row + 1));
    EXPECT_EQ(!form.CaptionPanels()[row]->isHidden(), visible);
    EXPECT_EQ(!form.PriceFields()[row]->isHidden(), visible);
    EXPECT_EQ(!form.ReadbackLabels()[row]->isHidden(), visible);
}

void ExpectVisibleRowsInside(TForm1& form)
{
    for (int row = 0; row < RowCount; ++row) {
        if (form.CaptionPanels()[row]->isHidden()) continue;
        EXPECT_LE(form.CaptionPanels()[row]->geometry().bottom(), form.SB1->y())
            << "row " << row + 1 << " is cut off";
    }
    EXPECT_LE(form.Button3->geometry().bottom(), form.SB1->y());
}

TEST_F(WindowLayout, WithoutASettingsFileEveryRowIsHidden)
{
    PromptAnswer = 5;
    Line.Attach(5);
    TForm1& form = ShowForm();
    for (int row = 0; row < RowCount; ++row) ExpectRowVisible(form, row, false);
    EXPECT_EQ(form.height(), 280 - 39);
    EXPECT_EQ(form.Button3->y(), 185);
    for (TMaskEdit* price : form.PriceFields()) EXPECT_EQ(price->Text(), "9999");
    EXPECT_EQ(form.CB1->currentText(), "00");
    EXPECT_EQ(form.CB2->currentText(), "00");
    EXPECT_FALSE(form.CB3->isChecked());

    // Port 0: the choice serves this opening only and is asked again.
    EXPECT_EQ(PromptCount, 1);
    EXPECT_TRUE(form.Port1->Open());
    EXPECT_EQ(form.Port1->ComNumber(), 5);
    EXPECT_EQ(form.Settings().PortNumber, 0);
    form.Button1Click();
    EXPECT_EQ(PromptCount, 2);
}

TEST_F(WindowLayout, OnlyRow8Hidden)
{
    TBoardIni ini;
    ini.Captions[7] = "Vazio";
    WriteIni(ini);
    TForm1& form = ShowForm();
    for (int row = 0; row < 7; ++row) ExpectRowVisible(form, row, true);
    ExpectRowVisible(form, 7, false);
    EXPECT_EQ(form.height(), 340 - 39);
    EXPECT_EQ(form.Button3->y(), 245);
    ExpectVisibleRowsInside(form);
}

TEST_F(WindowLayout, GapAtRow4KeepsRows5To7InsideTheWindow)
{
    TBoardIni ini;
    ini.Captions[3] = "Vazio";
    ini.Captions[7] = "Vazio";
    WriteIni(ini);
    TForm1& form = ShowForm();
    ExpectRowVisible(form, 3, false);
    ExpectRowVisible(form, 4, true);
    ExpectRowVisible(form, 6, true);
    ExpectRowVisible(form, 7, false);
    EXPECT_EQ(form.PP5->y(), 168) << "rows keep their places";
    EXPECT_EQ(form.height(), 340 - 39);
    EXPECT_EQ(form.Button3->y(), 245);
    ExpectVisibleRowsInside(form);
}

TEST_F(WindowLayout, NothingHiddenKeepsTheDesignedSize)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    EXPECT_EQ(form.width(), 558);
    EXPECT_EQ(form.height(), 341);
    EXPECT_EQ(form.Button3->y(), 285);
    EXPECT_EQ(form.PP1->text(), "Gasolina");
    EXPECT_EQ(form.PP2->text(), "Gasóleo");
    ExpectVisibleRowsInside(form);
}

TEST_F(WindowLayout, StatusBarRunsAlongTheBottomWithTwoPanels)
{
    TBoardIni ini;
    ini.Captions[7] = "Vazio";
    WriteIni(ini);
    TForm1& form = ShowForm();
    EXPECT_EQ(form.SB1->geometry(), QRect(0, form.height() - 19, 558, 19));
    ASSERT_EQ(form.SB1->PanelCount(), 2);
    EXPECT_EQ(form.SB1->Panel(0)->x(), 0);
    EXPECT_EQ(form.SB1->Panel(1)->x(), 500);
    EXPECT_LE(form.SB1->Panel(1)->geometry().right(), 550);
}

TEST_F(WindowLayout, TabOrderFollowsTheRowsThenTheButtonsThenTheSchedule)
{
    TForm1& form = Create();
    std::vector<QWidget*> expected{form.P1, form.P2,      form.P3,  form.P4,  form.P5,
                                   form.P6, form.P7,      form.P8,  form.Button1,
                                   form.Button3, form.CB1, form.CB2, form.CB3};
    std::vector<QWidget*> order;
    QWidget* widget = form.P1;
    for (int guard = 0; guard < 200 && order.size() < expected.size(); ++guard) {
        if (widget->focusPolicy() & Qt::TabFocus) order.push_back(widget);
        widget = widget->nextInFocusChain();
    }
    EXPECT_EQ(order, expected);
}

TEST_F(WindowLayout, FourDigitsFitTheNarrowestPriceField)
{
    // In whatever face stands in for the designed one on this machine.
    TForm1& form = Create();
    QFontMetrics metrics(form.P5->font());
    EXPECT_LT(metrics.horizontalAdvance("0000"), form.P5->width() - 4)
        << QFontInfo(form.P5->font()).family().toStdString();
}

TEST_F(WindowLayout, FourDigitsFitWhereOnlyAWiderFaceStandsIn)
{
    // Where Liberation Sans is missing, bold DejaVu Sans stands in: at the
    // designed height its four digits are wider than any price field, and
    // the last one was hidden.
    if (!QFontDatabase::hasFamily("DejaVu Sans")) GTEST_SKIP() << "DejaVu Sans is not installed";
    TForm1& form = Create();
    QFont wide("DejaVu Sans");
    wide.setPixelSize(21);
    wide.setBold(true);
    for (TMaskEdit* price : form.PriceFields()) {
        price->setFont(wide);
        price->SetText("8888");
        EXPECT_LE(QFontMetrics(price->font()).horizontalAdvance("8888"), price->width() - 6)
            << price->objectName().toStdString();
        EXPECT_GE(price->font().pixelSize(), 15) << "smaller than it need be";
    }
}

TEST_F(WindowLayout, TextsEndBeforeTheirNeighbours)
{
    // In whatever face stands in for the designed one on this machine.
    TForm1& form = Create();
    auto end = [](TLabel* label) {
        return label->x() + label->fontMetrics().horizontalAdvance(label->text());
    };
    EXPECT_LE(end(form.Label1), form.Panel1->x()) << "\"Ultima Comunicação\" runs under \"T\"";
    EXPECT_LE(form.Panel2->x() + end(form.Label6), form.CB1->x());
    EXPECT_LE(end(form.Label5), form.Panel2->width() - form.Panel2->frameWidth());
    QStyleOptionButton option;
    option.initFrom(form.CB3);
    option.text = form.CB3->text();
    QRect room = form.CB3->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, form.CB3);
    EXPECT_LE(form.CB3->fontMetrics().horizontalAdvance(form.CB3->text()), room.width())
        << "the check box's text is cut off";
}

TEST_F(WindowLayout, ColourNamesPaintTheCaptionPanels)
{
    TBoardIni ini;
    ini.Colours = {"Amarelo", "amarelo", "Verde", "Branco", "Preto", "Azul", "Vermelho", "Roxo"};
    WriteIni(ini);
    TForm1& form = ShowForm();
    const QColor face = QApplication::palette().color(QPalette::Button);
    auto background = [&](TPanel* panel) { return panel->palette().color(QPalette::Window); };
    auto text = [&](TPanel* panel) { return panel->palette().color(QPalette::WindowText); };

    EXPECT_EQ(background(form.PP1), QColor(255, 255, 0));
    EXPECT_EQ(text(form.PP1), QColor(0, 0, 0));
    EXPECT_EQ(background(form.PP2), face) << "lower case matched";
    EXPECT_EQ(text(form.PP2), QColor(255, 255, 255));
    EXPECT_EQ(background(form.PP3), QColor(0, 128, 0));
    EXPECT_EQ(text(form.PP3), QColor(255, 255, 255));
    EXPECT_EQ(background(form.PP4), QColor(255, 255, 255));
    EXPECT_EQ(text(form.PP4), QColor(0, 0, 0));
    EXPECT_EQ(background(form.PP5), QColor(0, 0, 0));
    EXPECT_EQ(background(form.PP6), QColor(0, 0, 255));
    EXPECT_EQ(background(form.PP7), QColor(255, 0, 0));
    EXPECT_EQ(background(form.PP8), face);
    EXPECT_EQ(text(form.PP8), QColor(255, 255, 255));
}

// Contrast ratio of two colours, 1 (none) to 21 (black on white).
double Contrast(const QColor& a, const QColor& b)
{
    auto luminance = [](const QColor& c) {
        auto linear = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) +
               0.0722 * linear(c.blueF());
    };
    double la = luminance(a) + 0.05;
    double lb = luminance(b) + 0.05;
    return std::max(la, lb) / std::min(la, lb);
}

TEST_F(WindowLayout, TextsStayReadableOnADarkDesktop)
{
    // A dark desktop theme hands every window a palette like this one.
    const QPalette system = QApplication::palette();
    QPalette dark = system;
    dark.setColor(QPalette::Window, QColor(49, 54, 59));
    dark.setColor(QPalette::Button, QColor(49, 54, 59));
    dark.setColor(QPalette::Base, QColor(35, 38, 41));
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text})
        dark.setColor(role, QColor(239, 240, 241));
    QApplication::setPalette(dark);
    struct TRestore {
        QPalette Palette;
        ~TRestore() { QApplication::setPalette(Palette); }
    } restore{system};

    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    auto readable = [](QWidget* widget, QPalette::ColorRole text, QPalette::ColorRole ground) {
        const QPalette& palette = widget->palette();
        double contrast = Contrast(palette.color(text), palette.color(ground));
        EXPECT_GE(contrast, 3.0) << widget->objectName().toStdString() << ": "
                                 << palette.color(text).name().toStdString() << " on "
                                 << palette.color(ground).name().toStdString();
    };
    for (TMaskEdit* price : form.PriceFields()) readable(price, QPalette::Text, QPalette::Base);
    for (TLabel* readback : form.ReadbackLabels())
        readable(readback, QPalette::WindowText, QPalette::Window);
    for (QWidget* label : std::initializer_list<QWidget*>{form.Label1, form.Label2, form.Label3})
        readable(label, QPalette::WindowText, QPalette::Window);
    readable(form.Button1, QPalette::ButtonText, QPalette::Button);
    readable(form.CB1, QPalette::ButtonText, QPalette::Button);
    readable(form.SB1->Panel(0), QPalette::WindowText, QPalette::Window);
}

TEST_F(WindowLayout, FirstShowRunsOnce)
{
    WriteIni(TBoardIni{});
    TForm1& form = ShowForm();
    form.hide();
    form.show();
    EXPECT_EQ(Line.Openings(), 1);
}

} // namespace
} // namespace tarvio::test
