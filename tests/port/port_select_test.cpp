// The port presence test and the port selection dialog, over a device
// directory of pseudo-terminals: com1, com3 (held by another process),
// com12 and com51 are there, every other number is not.

#include "serial/errors/error_codes.h"
#include "serial/errors/exceptions.h"
#include "serial/port/port_select.h"
#include "serial/port/port_select_form.h"
#include "tests/device/port_holder.h"
#include "tests/support/env_guard.h"
#include "tests/support/locale_guard.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kivo::test {
namespace {

class PortSelect : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Dir = new TempDir("kivo-ports");
        ::setenv("KIVO_DEVICE_DIR", Dir->Path().c_str(), 1);
        for (int number : {1, 3, 12, 51}) {
            Ports[number] = new PtyPair;
            Ports[number]->LinkAs(Dir->Path(), "com" + std::to_string(number));
        }
        Holder = new PortHolder(Ports[3]->SubsidiaryPath());
    }
    static void TearDownTestSuite()
    {
        delete Holder;
        for (PtyPair*& pair : Ports) {
            delete pair;
            pair = nullptr;
        }
        delete Dir;
    }

    // Runs action on the modal dialog once the prompt shows it.
    static void WhenShown(std::function<void(TComSelectForm&)> action)
    {
        QTimer::singleShot(0, [action] {
            auto* form = dynamic_cast<TComSelectForm*>(QApplication::activeModalWidget());
            if (form)
                action(*form);
            else
                ADD_FAILURE() << "no modal dialog";
        });
    }

    static inline TempDir* Dir = nullptr;
    static inline PtyPair* Ports[52] = {};
    static inline PortHolder* Holder = nullptr;
};

TEST_F(PortSelect, PresenceFollowsBothSwitches)
{
    ASSERT_TRUE(Holder->Holding);
    for (bool throughDispatcher : {true, false}) {
        TPortProbe probe{throughDispatcher, true};
        EXPECT_FALSE(PortIsPresent(0, probe));
        EXPECT_TRUE(PortIsPresent(1, probe)) << throughDispatcher;
        EXPECT_FALSE(PortIsPresent(2, probe)) << throughDispatcher;
        EXPECT_TRUE(PortIsPresent(3, probe)) << throughDispatcher;
        EXPECT_TRUE(PortIsPresent(51, probe)) << throughDispatcher;
        probe.AccessDeniedMeansPresent = false;
        EXPECT_FALSE(PortIsPresent(3, probe)) << throughDispatcher;
    }
    // Each probe closed what it opened.
    EXPECT_TRUE(PortIsPresent(1, TPortProbe{false, false}));
}

TEST_F(PortSelect, FormListsPresentPortsInNumberOrderWithTheFirstSelected)
{
    TComSelectForm form;
    ASSERT_EQ(form.PortsComboBox->count(), 3);
    EXPECT_EQ(form.PortsComboBox->itemText(0), "COM1");
    EXPECT_EQ(form.PortsComboBox->itemText(1), "COM3");
    EXPECT_EQ(form.PortsComboBox->itemText(2), "COM12");
    EXPECT_EQ(form.SelectedComNumber(), 1);
    form.PortsComboBox->setCurrentIndex(2);
    EXPECT_EQ(form.SelectedComNumber(), 12);
    EXPECT_EQ(form.windowTitle(), "Select Port");
    EXPECT_EQ(form.Label1->text(), "The configured serial port is not valid.");
    EXPECT_EQ(form.Label2->text(), "Please choose another port.");
    for (QLabel* label : {form.Label1, form.Label2})  // whatever font stands in
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
    EXPECT_TRUE(form.OkBtn->isDefault());
    EXPECT_EQ(form.AbortBtn->text(), "Cancel");
}

TEST_F(PortSelect, ButtonsAndClosingGiveTheirModalResults)
{
    auto resultOf = [](std::function<void(TComSelectForm&)> act) {
        TComSelectForm form;
        form.show();
        act(form);
        EXPECT_FALSE(form.isVisible());
        return form.result();
    };
    EXPECT_EQ(resultOf([](auto& f) { QTest::mouseClick(f.OkBtn, Qt::LeftButton); }), mrOk);
    EXPECT_EQ(resultOf([](auto& f) { QTest::mouseClick(f.AbortBtn, Qt::LeftButton); }), mrAbort);
    EXPECT_EQ(resultOf([](auto& f) { f.close(); }), mrCancel);
    EXPECT_EQ(resultOf([](auto& f) { QTest::keyClick(&f, Qt::Key_Escape); }), mrCancel);
}

TEST_F(PortSelect, PromptReturnsTheChoiceOnlyForOk)
{
    WhenShown([](TComSelectForm& form) {
        form.PortsComboBox->setCurrentIndex(2);
        QTest::mouseClick(form.OkBtn, Qt::LeftButton);
    });
    EXPECT_EQ(PromptForComPort(), std::optional<int>(12));

    WhenShown([](TComSelectForm& form) { QTest::mouseClick(form.AbortBtn, Qt::LeftButton); });
    EXPECT_EQ(PromptForComPort(), std::nullopt);

    WhenShown([](TComSelectForm& form) { form.close(); });
    EXPECT_EQ(PromptForComPort(), std::nullopt);
}

TEST_F(PortSelect, OkOnAnEmptyListFailsTheChoice)
{
    TempDir empty("kivo-no-ports");
    ::setenv("KIVO_DEVICE_DIR", empty.Path().c_str(), 1);
    WhenShown([](TComSelectForm& form) {
        EXPECT_EQ(form.PortsComboBox->count(), 0);
        QTest::mouseClick(form.OkBtn, Qt::LeftButton);
    });
    try {
        PromptForComPort();
        ADD_FAILURE() << "OK on an empty list chose a port";
    } catch (const EBadId& error) {
        EXPECT_EQ(error.ErrorCode, ecBadId);
    }
    ::setenv("KIVO_DEVICE_DIR", Dir->Path().c_str(), 1);
}

TEST_F(PortSelect, TheListFollowsAdaptersPluggedWhileTheDialogIsOpen)
{
    // A machine where no adapter was ever plugged: no by-id folder yet.
    TempDir root("kivo-plugging");
    std::filesystem::create_directories(root.Path() / "dev");
    EnvGuard devices("KIVO_DEVICE_DIR", (root.Path() / "devices").string());
    EnvGuard dev("KIVO_DEV_ROOT", (root.Path() / "dev").string());
    const std::filesystem::path byId = root.Path() / "dev" / "serial" / "by-id";
    auto listed = [](const TComSelectForm& form) {
        QStringList items;
        for (int index = 0; index < form.PortsComboBox->count(); ++index)
            items << form.PortsComboBox->itemText(index);
        return items;
    };

    TComSelectForm form;
    ASSERT_EQ(form.PortsComboBox->count(), 0);
    PtyPair alpha, beta, gamma;
    alpha.LinkAs(byId, "usb-Alpha-if00");
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.PortsComboBox->count() == 1; }, 5000))
        << listed(form).join(' ').toStdString();
    EXPECT_EQ(form.SelectedComNumber(), 1);

    beta.LinkAs(byId, "usb-Beta-if00");
    gamma.LinkAs(byId, "usb-Gamma-if00");
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.PortsComboBox->count() == 3; }, 5000))
        << listed(form).join(' ').toStdString();
    EXPECT_EQ(listed(form), QStringList({"COM1", "COM2", "COM3"}));

    // The operator's choice outlives a change that moves it.
    form.PortsComboBox->setCurrentIndex(2);
    std::filesystem::remove(byId / "usb-Alpha-if00");
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.PortsComboBox->count() == 2; }, 5000))
        << listed(form).join(' ').toStdString();
    EXPECT_EQ(listed(form), QStringList({"COM2", "COM3"}));
    EXPECT_EQ(form.SelectedComNumber(), 3);
    EXPECT_EQ(form.size(), QSize(220, 131));
}

TEST_F(PortSelect, TheListFollowsALinkFolderPutInPlaceOfTheOneWatched)
{
    // Links restored from a copy: the folder is moved away and the copy
    // takes its name while the dialog is open.
    TempDir root("kivo-restored");
    std::filesystem::create_directories(root.Path() / "dev");
    std::filesystem::create_directories(root.Path() / "devices");
    EnvGuard devices("KIVO_DEVICE_DIR", (root.Path() / "devices").string());
    EnvGuard dev("KIVO_DEV_ROOT", (root.Path() / "dev").string());
    TComSelectForm form;
    ASSERT_EQ(form.PortsComboBox->count(), 0);
    PtyPair restored, later;
    restored.LinkAs(root.Path() / "copy", "com4");
    std::filesystem::rename(root.Path() / "devices", root.Path() / "devices.old");
    std::filesystem::rename(root.Path() / "copy", root.Path() / "devices");
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.PortsComboBox->count() == 1; }, 5000));
    // What changes in the new folder afterwards is followed too.
    later.LinkAs(root.Path() / "devices", "com5");
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.PortsComboBox->count() == 2; }, 5000));
    EXPECT_EQ(form.PortsComboBox->itemText(0), "COM4");
    EXPECT_EQ(form.PortsComboBox->itemText(1), "COM5");
}

TEST_F(PortSelect, ProbeAsRootLeavesAPortHeldForExclusiveUseAlone)
{
    // As programs that only ask the terminal for exclusive use do: that
    // stops every other opener but root, who must take it as held too.
    if (::geteuid() != 0) GTEST_SKIP() << "only root opens past exclusive use";
    PtyPair pty;
    int held = ::open(pty.SubsidiaryPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::ioctl(held, TIOCEXCL), 0);
    pty.LinkAs(Dir->Path(), "com20");

    EXPECT_EQ(ProbePort(20), TPortState::psInUse);
    int exclusive = 0;
    EXPECT_EQ(::ioctl(held, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1) << "the holder's exclusive use was lifted";
    ::close(held);
    std::filesystem::remove(Dir->Path() / "com20");
}

TEST_F(PortSelect, TroubleNamesAPluggedAdapterThatCouldNotBeNumbered)
{
    // The user's device folder cannot be made: the adapter is plugged in,
    // yet no number leads to it.
    TempDir root("kivo-unnumbered");
    root.Write("config", "");
    PtyPair adapter;
    adapter.LinkAs(root.Path() / "dev" / "serial" / "by-id", "usb-Alpha-if00");
    EnvGuard devices("KIVO_DEVICE_DIR", (root.Path() / "config" / "devices").string());
    EnvGuard dev("KIVO_DEV_ROOT", (root.Path() / "dev").string());

    std::string trouble = PortTrouble(3, TPortState::psAbsent);
    EXPECT_THAT(trouble, ::testing::HasSubstr("COM3 ("));
    EXPECT_THAT(trouble, ::testing::ContainsRegex(
                             "the adapter .*/usb-Alpha-if00 has no COM number: cannot write "
                             ".*/config/devices: Not a directory"));
    // Nor can its links be read, one of which may be the one meant.
    EXPECT_THAT(trouble, ::testing::ContainsRegex(
                             "; cannot read the links in .*/config/devices: Not a directory"));

    // The operator's box takes the text as UTF-8: the reasons must not come
    // in the bytes of a single-byte desktop locale, nor in its language.
    LocaleGuard locale("pt_PT", "ISO-8859-1");
    if (!locale.Unavailable().empty()) GTEST_SKIP() << locale.Unavailable();
    EXPECT_EQ(PortTrouble(3, TPortState::psAbsent), trouble);
}

TEST_F(PortSelect, APcPortWithNoUartIsNotThere)
{
    TempDir root("kivo-unfitted");
    PtyPair behind;  // would open, were the node opened
    behind.LinkAs(root.Path() / "dev", "ttyS1");
    std::filesystem::create_directories(root.Path() / "sys" / "class" / "tty" / "ttyS1");
    root.Write("sys/class/tty/ttyS1/type", "0\n");
    EnvGuard devices("KIVO_DEVICE_DIR", (root.Path() / "devices").string());
    EnvGuard dev("KIVO_DEV_ROOT", (root.Path() / "dev").string());
    EnvGuard sys("KIVO_SYS_ROOT", (root.Path() / "sys").string());

    EXPECT_FALSE(PortIsPresent(2, TPortProbe{true, true}));
    EXPECT_THAT(PortTrouble(2, TPortState::psAbsent),
                ::testing::ContainsRegex("^COM2 \\(.*\\) is not there: connect it"));
}

} // namespace
} // namespace kivo::test
