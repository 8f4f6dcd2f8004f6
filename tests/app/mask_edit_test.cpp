// The price field's mask: what can be typed, what reading gives, what
// putting a text in does, and when leaving the field is refused.

#include "app/mask_edit.h"

#include "tests/framework/recording_services.h"

#include <QApplication>
#include <QClipboard>
#include <QPushButton>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>

namespace tarvio {
namespace {

class MaskEditTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Host.resize(300, 100);
        First->setGeometry(0, 0, 60, 30);
        Second->setGeometry(70, 0, 60, 30);
        Button->setGeometry(140, 0, 80, 30);
        QObject::connect(Button, &QPushButton::clicked, [this] { ++Clicks; });
        Host.show();
        QApplication::setActiveWindow(&Host);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&Host));
        First->setFocus(Qt::OtherFocusReason);
        Settle();
        ASSERT_TRUE(First->hasFocus());
    }

    void Settle()
    {
        for (int i = 0; i < 3; ++i) QApplication::processEvents();
    }

    std::vector<std::string> ErrorsShown()
    {
        Services.RunPosted();
        return Services.BoxTexts();
    }

    void EscapeAfterRefusal(const std::function<void()>& leave);

    kivo::test::TRecordingServices Services;
    kivo::TApplication App{Services};
    kivo::TApplicationScope Scope{App};
    QWidget Host;
    TMaskEdit* First = new TMaskEdit(&Host);
    TMaskEdit* Second = new TMaskEdit(&Host);
    QPushButton* Button = new QPushButton("Go", &Host);
    int Clicks = 0;
};

TEST_F(MaskEditTest, EmptyFieldShowsHashesAndReadsSpaces)
{
    EXPECT_EQ(First->displayText(), "####");
    EXPECT_EQ(First->Text(), "    ");
    EXPECT_FALSE(First->Complete());
}

TEST_F(MaskEditTest, OnlyDigitsCanBeTyped)
{
    QTest::keyClicks(First, "1a2 -b");
    EXPECT_EQ(First->Text(), "12  ");
    EXPECT_EQ(First->displayText(), "12##");
    EXPECT_TRUE(First->Modified());
}

TEST_F(MaskEditTest, AFifthDigitHasNoPlace)
{
    QTest::keyClicks(First, "12345");
    EXPECT_EQ(First->Text(), "1234");
}

TEST_F(MaskEditTest, TypingOverASelectionReplacesIt)
{
    First->SetText("1234");
    First->selectAll();
    QTest::keyClicks(First, "9");
    EXPECT_EQ(First->Text(), "9   ");
}

TEST_F(MaskEditTest, PuttingTextFillsFromTheLeftUnchecked)
{
    First->SetText("12345");
    EXPECT_EQ(First->Text(), "1234");
    First->SetText("7");
    EXPECT_EQ(First->Text(), "7   ");
    EXPECT_EQ(First->displayText(), "7###");
    First->SetText("ab");
    EXPECT_EQ(First->Text(), "ab  ");
    First->SetText("");
    EXPECT_EQ(First->Text(), "    ");
    EXPECT_FALSE(First->Modified());
    // A character beyond 16 bits (a bold digit from a UTF-8 file) takes one
    // position, as a replacement: four characters, four bytes on the line.
    First->SetText("\xF0\x9D\x9F\x8F" "234");
    EXPECT_EQ(First->Text(), "\xEF\xBF\xBD" "234");
    EXPECT_EQ(First->displayText(), QString(QChar::ReplacementCharacter) + "234");
}

TEST_F(MaskEditTest, BackspaceAndDeleteEmptyPositionsWithoutShifting)
{
    First->SetText("1234");
    QTest::keyClick(First, Qt::Key_End);
    QTest::keyClick(First, Qt::Key_Backspace);
    EXPECT_EQ(First->Text(), "123 ");
    QTest::keyClick(First, Qt::Key_Home);
    QTest::keyClick(First, Qt::Key_Delete);
    EXPECT_EQ(First->Text(), " 23 ");
    EXPECT_TRUE(First->Modified());
}

TEST_F(MaskEditTest, UndoCannotBringBackTextPastTheMask)
{
    QTest::keyClicks(First, "12");
    QTest::keyClick(First, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(First->Text(), "12  ");
    EXPECT_EQ(First->displayText(), "12##");
}

TEST_F(MaskEditTest, LeavingAChangedIncompleteFieldIsRefused)
{
    QTest::keyClicks(First, "12");
    QTest::keyClick(First, Qt::Key_Tab);
    Settle();
    EXPECT_TRUE(First->hasFocus()) << "the focus went on";
    EXPECT_EQ(Services.Beeps, 1);
    EXPECT_EQ(ErrorsShown(), std::vector<std::string>{InvalidInputText});
    EXPECT_EQ(std::string(InvalidInputText),
              "Invalid input value.  Use escape key to abandon changes");
}

TEST_F(MaskEditTest, LeavingAnUnchangedIncompleteFieldIsAllowed)
{
    First->SetText("12");
    QTest::keyClick(First, Qt::Key_Tab);
    Settle();
    EXPECT_TRUE(Second->hasFocus());
    EXPECT_EQ(Services.Beeps, 0);
    EXPECT_TRUE(ErrorsShown().empty());
}

TEST_F(MaskEditTest, LeavingACompletedFieldIsAllowed)
{
    QTest::keyClicks(First, "4321");
    QTest::keyClick(First, Qt::Key_Tab);
    Settle();
    EXPECT_TRUE(Second->hasFocus());
    EXPECT_TRUE(ErrorsShown().empty());
}

TEST_F(MaskEditTest, EnterIsRefusedOnlyWhileIncomplete)
{
    QTest::keyClicks(First, "1");
    QTest::keyClick(First, Qt::Key_Return);
    EXPECT_EQ(Services.Beeps, 1);
    QTest::keyClicks(First, "234");
    QTest::keyClick(First, Qt::Key_Enter);
    EXPECT_EQ(Services.Beeps, 1);
    EXPECT_EQ(ErrorsShown(), std::vector<std::string>{InvalidInputText});
    EXPECT_TRUE(First->hasFocus());
}

TEST_F(MaskEditTest, EscapeBringsBackTheTextOfWhenTheFocusCame)
{
    First->clearFocus();
    First->SetText("5678");
    First->setFocus(Qt::OtherFocusReason);
    Settle();
    QTest::keyClick(First, Qt::Key_Home);
    QTest::keyClicks(First, "1");
    QTest::keyClick(First, Qt::Key_Delete);
    EXPECT_EQ(First->Text(), "1 78");
    QTest::keyClick(First, Qt::Key_Escape);
    EXPECT_EQ(First->Text(), "5678");
    EXPECT_FALSE(First->Modified());
    QTest::keyClick(First, Qt::Key_Tab);
    Settle();
    EXPECT_TRUE(Second->hasFocus());
    EXPECT_EQ(Services.Beeps, 0);
}

// As the window opens: the first field has the focus before the stored price
// is put in, and the operator types into it without entering it anew.
TEST_F(MaskEditTest, EscapeInTheFieldFocusedBeforeItsTextWasPutInBringsThatTextBack)
{
    ASSERT_TRUE(First->hasFocus());
    First->SetText("1669");
    QTest::keyClicks(First, "7");
    EXPECT_EQ(First->Text(), "7669");
    QTest::keyClick(First, Qt::Key_Escape);
    EXPECT_EQ(First->Text(), "1669") << "Escape blanked the stored price";
    EXPECT_FALSE(First->Modified());
}

// Refused by leave(), the box shown as a window of its own that takes the
// activation and gives it back, then Escape: the text of the operator's entry.
void MaskEditTest::EscapeAfterRefusal(const std::function<void()>& leave)
{
    First->clearFocus();
    First->SetText("0000");
    First->setFocus(Qt::TabFocusReason);
    Settle();
    First->selectAll();
    QTest::keyClicks(First, "12");
    Services.WhileBoxShown = [this](const std::string&) {
        QWidget box;
        box.show();
        QApplication::setActiveWindow(&box);
        Settle();
        box.close();
        QApplication::setActiveWindow(&Host);
        Settle();
    };
    leave();
    Settle();
    ASSERT_EQ(ErrorsShown(), std::vector<std::string>{InvalidInputText});
    Settle();
    ASSERT_TRUE(First->hasFocus());
    EXPECT_EQ(First->displayText(), "12##");

    QTest::keyClick(First, Qt::Key_Escape);
    EXPECT_EQ(First->Text(), "0000") << "Escape kept the refused change";
    QTest::keyClick(First, Qt::Key_Tab);
    Settle();
    EXPECT_TRUE(Second->hasFocus());
    EXPECT_EQ(ErrorsShown().size(), 1u);
}

TEST_F(MaskEditTest, EscapeAfterARefusedTabBringsBackTheTextOfTheEntry)
{
    EscapeAfterRefusal([this] { QTest::keyClick(First, Qt::Key_Tab); });
}

TEST_F(MaskEditTest, EscapeAfterARefusedClickBringsBackTheTextOfTheEntry)
{
    EscapeAfterRefusal([this] { QTest::mouseClick(Second, Qt::LeftButton); });
}

TEST_F(MaskEditTest, AClickThatTookTheFocusFromARefusedFieldDoesNotAct)
{
    QTest::keyClicks(First, "12");
    QTest::mouseClick(Button, Qt::LeftButton);
    Settle();
    EXPECT_EQ(Clicks, 0) << "the button acted on a refused field";
    EXPECT_TRUE(First->hasFocus());
    EXPECT_EQ(ErrorsShown(), std::vector<std::string>{InvalidInputText});

    QTest::keyClick(First, Qt::Key_Escape);
    EXPECT_EQ(First->Text(), "    ");
    QTest::mouseClick(Button, Qt::LeftButton);
    Settle();
    EXPECT_EQ(Clicks, 1) << "the next click was eaten too";
}

TEST_F(MaskEditTest, PasteKeepsOnlyDigits)
{
    QApplication::clipboard()->setText("9x8");
    if (QApplication::clipboard()->text() != "9x8") GTEST_SKIP() << "no clipboard here";
    QTest::keyClick(First, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(First->Text(), "98  ");
}

} // namespace
} // namespace tarvio
