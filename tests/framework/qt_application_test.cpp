// The application services bound to Qt: boxes, queued calls, termination.

#include "framework/qt/qt_application.h"

#include "framework/exceptions.h"
#include "tests/support/locale_guard.h"
#include "tests/support/wait_until.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace kivo::qt {
namespace {

using namespace std::chrono_literals;

// Closes every modal box as soon as it is up and remembers what it said, so
// no test waits for an operator.
class TBoxCloser {
public:
    TBoxCloser()
    {
        Timer.setInterval(5);
        QObject::connect(&Timer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            Texts.push_back(box->text().toStdString());
            Icons.push_back(box->icon());
            box->accept();
        });
        Timer.start();
    }

    QTimer Timer;
    std::vector<std::string> Texts;
    std::vector<QMessageBox::Icon> Icons;
};

class CloseCounter : public QWidget {
public:
    int Closes = 0;

protected:
    void closeEvent(QCloseEvent* event) override
    {
        ++Closes;
        QWidget::closeEvent(event);
    }
};

void Pump(std::chrono::milliseconds timeout, const std::function<bool()>& done)
{
    test::WaitUntil(timeout, done, [] { QApplication::processEvents(QEventLoop::AllEvents, 10); });
}

TEST(TQtApplication, InstallsItselfAsTheApplicationInForce)
{
    TQtApplication binding;
    EXPECT_EQ(&kivo::Application(), &binding.Application());
}

TEST(TQtApplication, ErrorInAHandlerIsShownOnlyAfterTheHandlerReturned)
{
    TQtApplication binding;
    TBoxCloser closer;
    bool boxDuringHandler = true;
    bool handlerDone = false;
    QTimer::singleShot(0, [&] {
        binding.Application().HandleException(Exception("Unable to write to /x/tarvio.ini"));
        boxDuringHandler = !closer.Texts.empty();
        handlerDone = true;
    });
    Pump(5s, [&] { return handlerDone && !closer.Texts.empty(); });

    EXPECT_FALSE(boxDuringHandler);
    ASSERT_EQ(closer.Texts, std::vector<std::string>{"Unable to write to /x/tarvio.ini"});
    EXPECT_EQ(closer.Icons[0], QMessageBox::Critical);
}

TEST(TQtApplication, QueuedBoxesAppearInOrder)
{
    TQtApplication binding;
    TBoxCloser closer;
    binding.Application().HandleException(Exception("one"));
    binding.Application().HandleException(Exception("two"));
    binding.Application().HandleException(Exception("three"));
    Pump(5s, [&] { return closer.Texts.size() == 3; });
    EXPECT_EQ(closer.Texts, (std::vector<std::string>{"one", "two", "three"}));
}

TEST(TQtApplication, MessageBoxIsModalAndReturnsWhenClosed)
{
    TQtApplication binding;
    TBoxCloser closer;
    binding.Application().MessageBox("Erro ao abrir porta");
    ASSERT_EQ(closer.Texts, std::vector<std::string>{"Erro ao abrir porta"});
    EXPECT_EQ(closer.Icons[0], QMessageBox::NoIcon);
}

// A file name in a box is the bytes the file system holds, which a desktop in
// a single-byte locale wrote in its own character set: Qt took them for
// UTF-8 and showed "Pre\uFFFDos" for a folder named "Preços".
TEST(TQtApplication, AFileNameInASingleByteLocaleIsShownAsItsOwnerWroteIt)
{
    TQtApplication binding;
    TBoxCloser closer;
    {
        test::LocaleGuard locale("pt_PT", "ISO-8859-1");
        if (!locale.Unavailable().empty()) GTEST_SKIP() << locale.Unavailable();
        binding.Application().MessageBox("O Tarvio j\xC3\xA1 leu /lojas/Pre\xE7os/tarvio.ini");
    }
    ASSERT_EQ(closer.Texts, std::vector<std::string>{"O Tarvio já leu /lojas/Preços/tarvio.ini"});
}

TEST(TQtApplication, TerminateEndsTheLoopWithoutClosingWindows)
{
    TQtApplication binding;
    CloseCounter window;
    window.show();
    // The application's own loop: it also clears the exit request when it
    // returns, which a nested QEventLoop would leave behind for later tests.
    QTimer::singleShot(0, [&] { binding.Application().Terminate(); });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(5000);
    bool ended = QCoreApplication::exec() == 0;

    EXPECT_TRUE(ended) << "the loop ran until the guard";
    EXPECT_TRUE(binding.Application().Terminated());
    EXPECT_EQ(window.Closes, 0) << "termination ran the close handler";
}

TEST(TQtApplication, PostFromAnotherThreadRunsOnTheMainThread)
{
    TQtApplicationServices services;
    std::thread::id ranOn;
    std::thread worker([&] { services.Post([&] { ranOn = std::this_thread::get_id(); }); });
    worker.join();
    Pump(5s, [&] { return ranOn != std::thread::id{}; });
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

} // namespace
} // namespace kivo::qt
