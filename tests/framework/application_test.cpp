// The general error handler's queue, the direct box, termination, the main
// thread and the port prompt hook.

#include "framework/application.h"
#include "framework/exceptions.h"
#include "framework/thread.h"
#include "platform/window.h"
#include "tests/framework/recording_services.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <thread>

namespace kivo {
namespace {

using test::TRecordingServices;

class ApplicationTest : public ::testing::Test {
protected:
    TRecordingServices Services;
    TApplication App{Services};
    TApplicationScope Scope{App};
};

TEST_F(ApplicationTest, ErrorBoxWaitsUntilTheHandlerHasReturned)
{
    App.HandleException(Exception("first"));
    App.HandleException(std::runtime_error("second"));

    EXPECT_TRUE(Services.Boxes.empty());
    EXPECT_EQ(App.PendingErrorCount(), 2u);
    EXPECT_EQ(Services.PostedCount(), 1u) << "one flush serves every queued box";

    Services.RunPosted();
    ASSERT_EQ(Services.BoxTexts(), (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(Services.Boxes[0].Kind, TMessageKind::mkError);
    EXPECT_EQ(App.PendingErrorCount(), 0u);
}

TEST_F(ApplicationTest, ErrorRaisedWhileABoxIsOpenIsShownAfterItNotInsideIt)
{
    int raised = 0;
    Services.WhileBoxShown = [&](const std::string&) {
        // A timer firing under the box fails: its box must queue behind.
        if (raised++ < 2) App.HandleException(Exception("from a timer " + std::to_string(raised)));
        Services.RunPosted();
    };
    App.HandleException(Exception("outer"));
    Services.RunPosted();

    EXPECT_EQ(Services.BoxTexts(),
              (std::vector<std::string>{"outer", "from a timer 1", "from a timer 2"}));
    EXPECT_EQ(Services.MaxDepth, 1) << "boxes were nested";
}

TEST_F(ApplicationTest, ErrorAfterTheQueueDrainedPostsAgain)
{
    App.HandleException(Exception("one"));
    Services.RunPosted();
    App.HandleException(Exception("two"));
    EXPECT_EQ(Services.PostedCount(), 1u);
    Services.RunPosted();
    EXPECT_EQ(Services.BoxTexts(), (std::vector<std::string>{"one", "two"}));
}

TEST_F(ApplicationTest, CurrentExceptionOfAnyClassIsShown)
{
    try {
        throw EInOutError("Disk is full", 101);
    } catch (...) {
        App.HandleCurrentException();
    }
    try {
        throw 42;
    } catch (...) {
        App.HandleCurrentException();
    }
    Services.RunPosted();
    EXPECT_EQ(Services.BoxTexts(), (std::vector<std::string>{"Disk is full", "Unknown exception"}));
}

TEST_F(ApplicationTest, MessageBoxIsShownAtOnce)
{
    App.MessageBox("now");
    ASSERT_EQ(Services.BoxTexts(), std::vector<std::string>{"now"});
    EXPECT_EQ(Services.Boxes[0].Kind, TMessageKind::mkInformation);
    EXPECT_EQ(Services.PostedCount(), 0u);
}

TEST_F(ApplicationTest, TerminateAsksTheLoopToEnd)
{
    EXPECT_FALSE(App.Terminated());
    App.Terminate();
    EXPECT_TRUE(App.Terminated());
    EXPECT_EQ(Services.QuitCount, 1);
}

TEST_F(ApplicationTest, ErrorFromAnotherThreadIsShownOnTheMainThread)
{
    bool mainThreadSeenThere = true;
    std::thread worker([&] {
        mainThreadSeenThere = App.IsMainThread();
        App.HandleException(Exception("from a worker"));
    });
    worker.join();
    EXPECT_FALSE(mainThreadSeenThere);
    EXPECT_TRUE(App.IsMainThread());
    EXPECT_TRUE(Services.Boxes.empty());

    Services.RunPosted();
    ASSERT_EQ(Services.Boxes.size(), 1u);
    EXPECT_EQ(Services.Boxes[0].Thread, std::this_thread::get_id());
}

TEST(ApplicationMainThread, IsThePlatformsMainThread)
{
    std::thread([] { win::SetMainThread(); }).join();  // a claim from a thread now gone
    TRecordingServices services;
    TApplication app(services);
    EXPECT_TRUE(app.IsMainThread());
    EXPECT_TRUE(win::IsMainThread()) << "the platform serves another main thread";
    bool seenAsMain = true;
    std::thread([&] { seenAsMain = app.IsMainThread() || win::IsMainThread(); }).join();
    EXPECT_FALSE(seenAsMain);
}

TEST_F(ApplicationTest, PortPromptCountsAsCancelledUntilOneIsInstalled)
{
    EXPECT_EQ(App.PromptForPort(), std::nullopt);
    App.SetPortPrompt([] { return std::optional<int>(4); });
    EXPECT_EQ(App.PromptForPort(), 4);
}

TEST_F(ApplicationTest, CtrlAndBeepComeFromTheServices)
{
    Services.Ctrl = true;
    EXPECT_TRUE(App.CtrlKeyDown());
    Services.Ctrl = false;
    EXPECT_FALSE(App.CtrlKeyDown());
    App.Beep();
    EXPECT_EQ(Services.Beeps, 1);
}

TEST_F(ApplicationTest, ExceptionsAtTheTopOfTheStackReachTheErrorHandler)
{
    win::SetMainThread();
    DisplayException(std::make_exception_ptr(Exception("ie_NOpen - device not open")));
    EXPECT_TRUE(Services.Boxes.empty()) << "shown inside the caller";
    Services.RunPosted();
    EXPECT_EQ(Services.BoxTexts(), std::vector<std::string>{"ie_NOpen - device not open"});
}

TEST(ApplicationScope, InstallsAndPutsBackThePrevious)
{
    TApplication& before = Application();
    TRecordingServices outerServices;
    TApplication outer(outerServices);
    {
        TApplicationScope outerScope(outer);
        EXPECT_EQ(&Application(), &outer);
        TRecordingServices innerServices;
        TApplication inner(innerServices);
        {
            TApplicationScope innerScope(inner);
            EXPECT_EQ(&Application(), &inner);
        }
        EXPECT_EQ(&Application(), &outer);
    }
    EXPECT_EQ(&Application(), &before);
}

TEST(ApplicationLifetime, FlushPostedBeforeTheApplicationWentDoesNothing)
{
    TRecordingServices services;
    testing::internal::CaptureStderr();
    {
        TApplication app(services);
        app.HandleException(Exception("too late"));
    }
    // No loop is left to show it in a box; it is written out instead of lost.
    std::string written = testing::internal::GetCapturedStderr();
    EXPECT_NE(written.find("too late"), std::string::npos);
    EXPECT_EQ(services.RunPosted(), 1);
    EXPECT_TRUE(services.Boxes.empty());
}

TEST(ApplicationFallback, WithoutAToolkitErrorsDoNotBlock)
{
    // No scope here: the fallback writes to standard error and returns.
    testing::internal::CaptureStderr();
    Application().HandleException(Exception("nobody is watching"));
    std::string written = testing::internal::GetCapturedStderr();
    EXPECT_NE(written.find("nobody is watching"), std::string::npos);
}

} // namespace
} // namespace kivo
