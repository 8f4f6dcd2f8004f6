// The real program against the simulated sign: the tarvio executable, run
// from a folder of its own with its settings file beside it, on a private X
// display where xdotool clicks its buttons; the sign on a pseudo-terminal
// linked as com3 in the device directory the program is pointed at.

#include "tests/e2e/e2e_rig.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>

namespace tarvio::e2e {
namespace {

using kivo::test::WaitUntil;
namespace fs = std::filesystem;

class Program : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* tool : {"Xvfb", "xdotool"})
            if (!ToolAvailable(tool)) GTEST_SKIP() << tool << " is missing; scripts/deps installs it";
        fs::create_directories(Devices);
        fs::copy_file(TARVIO_PATH, Exe);
        Dir.Write("tarvio.ini", BoardIni(BoardPrices));
        Dir.Write("leaks.supp", "leak:libdbus-1.so\n");
        Display.emplace();
        ASSERT_FALSE(Display->Name().empty()) << "Xvfb did not start";
        ASSERT_TRUE(Display->WaitUsable()) << "no client can connect to " << Display->Name();
    }

    std::vector<std::string> Env() const
    {
        // A settings file the program looks for elsewhere stays in the test's
        // folder. The sanitizers' reports on the toolkit's own threads, and
        // the session bus library's leak at exit, would replace the exit
        // status some tests check.
        auto options = [](const char* name, const std::string& more) {
            const char* set = std::getenv(name);
            return std::string(name) + "=" + (set ? set : "") + ":" + more;
        };
        return {"DISPLAY=" + Display->Name(), "QT_QPA_PLATFORM=xcb", "KIVO_DEVICE_DIR=" + Devices.string(),
                "XDG_CONFIG_HOME=" + (Dir.Path() / "config").string(),
                options("TSAN_OPTIONS", "exitcode=0"),
                options("LSAN_OPTIONS", "suppressions=" + (Dir.Path() / "leaks.supp").string())};
    }

    void Start(const std::vector<std::string>& signOptions = {})
    {
        Sign.emplace(Devices, 3, signOptions);
        ASSERT_TRUE(Sign->WaitReady()) << ReadText(Devices / "sign3.out");
        Tarvio.emplace(std::vector<std::string>{Exe.string()}, Env(), (Dir.Path() / "tarvio.out").string());
        ASSERT_TRUE(FindWindow()) << "no window on " << Display->Name() << " (server running: "
                                  << Display->Running() << "); the program said: "
                                  << ReadText(Dir.Path() / "tarvio.out");
    }

    // The main window: the visible "Tarvio" window 558 pixels wide (a
    // message box may carry the same title).
    bool FindWindow()
    {
        return WaitUntil(20s, [&] {
            if (!Tarvio->Running()) return true;
            std::optional<std::string> ids =
                RunCommand({"xdotool", "search", "--onlyvisible", "--name", "^Tarvio$"}, Env(), 5s);
            std::istringstream list(ids.value_or(""));
            for (std::string id; list >> id;) {
                std::optional<std::string> geometry =
                    RunCommand({"xdotool", "getwindowgeometry", id}, Env(), 5s);
                if (geometry && geometry->find("Geometry: 558x") != std::string::npos) {
                    Window = id;
                    return true;
                }
            }
            return false;
        }) && !Window.empty();
    }

    // A click at client coordinates, with Ctrl held down if asked.
    void Click(int x, int y, bool ctrl = false)
    {
        std::vector<std::string> command{"xdotool", "mousemove", "--window", Window,
                                         std::to_string(x), std::to_string(y)};
        if (ctrl) command.insert(command.end(), {"keydown", "ctrl"});
        command.insert(command.end(), {"click", "1"});
        if (ctrl) command.insert(command.end(), {"keyup", "ctrl"});
        ASSERT_TRUE(RunCommand(command, Env(), 10s)) << "xdotool failed";
    }
    void ClickAcertarAgora() { Click(452, 64); }

    // Typed over the start of P1, as an operator does.
    void TypeIntoP1(const std::string& text)
    {
        Click(240, 24);
        ASSERT_TRUE(RunCommand(
            {"xdotool", "key", "--window", Window, "Home", "type", "--delay", "20", text}, Env(), 10s));
    }

    // The program on settings with Port=0, the sign on COM3; the id of the
    // "Select Port" prompt it shows at first show, empty if none came.
    std::string StartAskingForAPort()
    {
        std::string ini = BoardIni(BoardPrices);
        ini.replace(ini.find("Port=3"), 6, "Port=0");
        Dir.Write("tarvio.ini", ini);
        Sign.emplace(Devices, 3);
        if (!Sign->WaitReady()) {
            ADD_FAILURE() << ReadText(Devices / "sign3.out");
            return {};
        }
        Tarvio.emplace(std::vector<std::string>{Exe.string()}, Env(),
                       (Dir.Path() / "tarvio.out").string());
        return WaitForWindowStarting("Select Port");
    }

    // A visible window, other than the main one, whose caption starts with
    // prefix; empty if none came.
    std::string WaitForWindowStarting(const std::string& prefix)
    {
        std::string found;
        WaitUntil(20s, [&] {
            std::optional<std::string> ids =
                RunCommand({"xdotool", "search", "--onlyvisible", "--name", "^" + prefix}, Env(), 5s);
            std::istringstream list(ids.value_or(""));
            for (std::string id; list >> id;)
                if (id != Window) found = id;
            return !found.empty();
        });
        return found;
    }

    // The caption as the window manager reads it.
    std::string NetWmName(const std::string& window)
    {
        std::string line =
            RunCommand({"xprop", "-id", window, "_NET_WM_NAME"}, Env(), 5s).value_or("");
        std::size_t first = line.find('"');
        std::size_t last = line.rfind('"');
        if (first == std::string::npos || last <= first) return "<none: " + line + ">";
        return line.substr(first + 1, last - first - 1);
    }

    std::string Ini() const { return Dir.Read("tarvio.ini"); }

    kivo::test::TempDir Dir{"tarvio-e2e"};
    fs::path Devices = Dir.Path() / "devices";
    fs::path Exe = Dir.Path() / "tarvio";
    // Ended in reverse order: the program, then the sign, then the display.
    std::optional<TDisplay> Display;
    std::optional<TSign> Sign;
    std::optional<TChild> Tarvio;
    std::string Window;
};

TEST_F(Program, AcertarAgoraSendsTheFrameAndTheAnswerIsSaved)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--status", "OK1"}));
    ASSERT_NE(Ini().find("Hora=07\n"), std::string::npos);
    ClickAcertarAgora();
    ASSERT_TRUE(Sign->WaitFor("in", 1)) << "no frame reached the sign";
    std::vector<TSignEvent> frames = Sign->Events("in");
    EXPECT_EQ(frames[0].Text, PriceFrame(BoardPrices));
    EXPECT_EQ(frames[0].Text.size(), 34u);
    ASSERT_TRUE(Sign->WaitFor("out", 1));
    EXPECT_EQ(Sign->Events("out")[0].Text, StatusAnswer(BoardPrices, "OK1"));
    // The window saves once it has checked the answer.
    EXPECT_TRUE(WaitUntil(10s, [&] { return Ini().find("Hora=7\n") != std::string::npos; }))
        << Ini();
    EXPECT_NE(Ini().find("P1=1459\n"), std::string::npos);
    EXPECT_TRUE(Tarvio->Running());
}

TEST_F(Program, MalformedAnswerLeavesTheSettingsFileAlone)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--fault", "lowercase"}));
    const std::string before = Ini();
    ClickAcertarAgora();
    ASSERT_TRUE(Sign->WaitFor("out", 1));
    EXPECT_FALSE(WaitUntil(2s, [&] { return Ini() != before; })) << Ini();
    EXPECT_TRUE(Tarvio->Running());
}

TEST_F(Program, ACopyInAFolderNamedInAnotherCodePageUsesTheSettingsBesideIt)
{
    // "Preços" in Windows-1252, as an archive made on Windows unpacks.
    const fs::path folder = Dir.Path() / "Pre\xE7os";
    fs::create_directory(folder);
    fs::rename(Exe, folder / "tarvio");
    fs::rename(Dir.Path() / "tarvio.ini", folder / "tarvio.ini");
    Exe = folder / "tarvio";
    ASSERT_NO_FATAL_FAILURE(Start({"--status", "OK1"}));
    ClickAcertarAgora();
    ASSERT_TRUE(Sign->WaitFor("in", 1)) << "no frame reached the sign";
    EXPECT_EQ(Sign->Events("in")[0].Text, PriceFrame(BoardPrices));
    EXPECT_TRUE(WaitUntil(10s, [&] {
        return ReadText(folder / "tarvio.ini").find("Hora=7\n") != std::string::npos;
    }));
}

TEST_F(Program, PricesTypedBeforeAShutdownAreSaved)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(TypeIntoP1("4321"));
    // No click of "Sair": the session ends the program, as a shutdown does.
    ASSERT_EQ(kill(Tarvio->Pid(), SIGTERM), 0);
    EXPECT_EQ(Tarvio->WaitExit(10s), std::optional<int>(0)) << ReadText(Dir.Path() / "tarvio.out");
    EXPECT_NE(Ini().find("P1=4321\n"), std::string::npos) << Ini();
    EXPECT_NE(Ini().find("P2=1529\n"), std::string::npos) << Ini();
}

// A session with a file size limit (ulimit -f) that the settings outgrow: the
// save fails and says why, and the program goes on.
TEST_F(Program, ASaveBeyondTheFileSizeLimitIsRefusedNotFatal)
{
    // Longer than the limit below (256 blocks of 512 bytes) before any change;
    // the program's output, a file too, stays well within it.
    const std::string before = "; " + std::string(160 * 1024, 'x') + "\n" + BoardIni(BoardPrices);
    Dir.Write("tarvio.ini", before);
    Sign.emplace(Devices, 3, std::vector<std::string>{"--status", "OK1"});
    ASSERT_TRUE(Sign->WaitReady()) << ReadText(Devices / "sign3.out");
    Tarvio.emplace(
        std::vector<std::string>{"/bin/sh", "-c", "ulimit -f 256 && exec \"$0\"", Exe.string()},
        Env(), (Dir.Path() / "tarvio.out").string());
    ASSERT_TRUE(FindWindow()) << ReadText(Dir.Path() / "tarvio.out");
    ClickAcertarAgora();
    ASSERT_TRUE(Sign->WaitFor("out", 1));
    EXPECT_TRUE(WaitUntil(10s, [&] {
        const std::string said = ReadText(Dir.Path() / "tarvio.out");
        const std::size_t line = said.find("cannot write");
        return !Tarvio->Running() ||
               (line != std::string::npos && said.find('\n', line) != std::string::npos);
    }));
    EXPECT_TRUE(Tarvio->Running()) << "ended with " << Tarvio->WaitExit(0s).value_or(0);
    EXPECT_NE(ReadText(Dir.Path() / "tarvio.out").find("The file size exceeds the limit allowed"),
              std::string::npos)
        << ReadText(Dir.Path() / "tarvio.out");
    EXPECT_TRUE(Ini() == before) << "the settings file changed";
}

TEST_F(Program, AShutdownWhileAPortIsAskedForSavesAndIsNoFailure)
{
    std::string prompt = StartAskingForAPort();
    ASSERT_FALSE(prompt.empty()) << ReadText(Dir.Path() / "tarvio.out");
    ASSERT_TRUE(RunCommand({"xdotool", "mousemove", "--window", prompt, "50", "108", "click", "1"},
                           Env(), 10s));
    ASSERT_TRUE(FindWindow()) << ReadText(Dir.Path() / "tarvio.out");
    ASSERT_NO_FATAL_FAILURE(TypeIntoP1("4321"));
    // The transmission asks for the port again; the session ends meanwhile.
    ClickAcertarAgora();
    ASSERT_FALSE(WaitForWindowStarting("Select Port").empty());
    ASSERT_EQ(kill(Tarvio->Pid(), SIGTERM), 0);
    EXPECT_EQ(Tarvio->WaitExit(10s), std::optional<int>(0)) << ReadText(Dir.Path() / "tarvio.out");
    EXPECT_NE(Ini().find("P1=4321\n"), std::string::npos) << Ini();
}

// A second start on the same settings (a double click on the menu entry)
// hears that the program is open, not that its port may not exist.
TEST_F(Program, ASecondCopyOnTheSameSettingsSaysSoAndEnds)
{
    Start();
    const fs::path said = Dir.Path() / "second.out";
    TChild second(std::vector<std::string>{Exe.string()}, Env(), said.string());
    std::string box = WaitForWindowStarting("Tarvio");
    ASSERT_FALSE(box.empty()) << "no box from the second copy: " << ReadText(said);
    ASSERT_TRUE(RunCommand({"xdotool", "windowfocus", box, "key", "Return"}, Env(), 10s));
    EXPECT_EQ(second.WaitExit(10s), std::optional<int>(1)) << ReadText(said);
    EXPECT_NE(ReadText(said).find("tarvio: another Tarvio is already open on " +
                                  (Dir.Path() / "tarvio.ini").string()),
              std::string::npos)
        << ReadText(said);
    EXPECT_TRUE(Tarvio->Running()) << "the first copy goes on";
}

// Over ssh with no DISPLAY, "tarvio -display :0" opens the window on the
// board's screen, as Qt's own option has it.
TEST_F(Program, ADisplayNamedOnTheCommandLineIsOpened)
{
    Sign.emplace(Devices, 3);
    ASSERT_TRUE(Sign->WaitReady()) << ReadText(Devices / "sign3.out");
    std::vector<std::string> env = Env();
    ASSERT_EQ(env[0].rfind("DISPLAY=", 0), 0u);
    ASSERT_EQ(env[1].rfind("QT_QPA_PLATFORM=", 0), 0u);
    env[0] = "DISPLAY=";
    env[1] = "QT_QPA_PLATFORM=";
    env.insert(env.end(), {"WAYLAND_DISPLAY=", "XDG_SESSION_TYPE=tty"});
    Tarvio.emplace(std::vector<std::string>{Exe.string(), "-display", Display->Name()}, env,
                   (Dir.Path() / "tarvio.out").string());
    EXPECT_TRUE(FindWindow()) << ReadText(Dir.Path() / "tarvio.out");
}

TEST(ProgramStart, WithoutADisplayItSaysSoAndEndsWithStatus1)
{
    kivo::test::TempDir dir{"tarvio-no-display"};
    const fs::path exe = dir.Path() / "tarvio";
    fs::copy_file(TARVIO_PATH, exe);
    const fs::path output = dir.Path() / "tarvio.out";
    TChild tarvio({exe.string()},
                  {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=", "XDG_SESSION_TYPE=tty"},
                  output.string());
    EXPECT_EQ(tarvio.WaitExit(20s), std::optional<int>(1));
    EXPECT_NE(ReadText(output).find("tarvio: no display to open the window on"), std::string::npos)
        << ReadText(output);
}

// Started with next to no file descriptors to spare (a tight ulimit -n),
// the program says what it lacks; it never ends by an uncaught exception.
TEST(ProgramStart, ShortOfDescriptorsItSaysWhyAndDoesNotAbort)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's own checks take descriptors (a pipe to probe memory):
    // with none to spare they fail first, before the code under test.
    GTEST_SKIP() << "not under a sanitizer";
#endif
    if (!ToolAvailable("prlimit")) GTEST_SKIP() << "prlimit is missing";
    kivo::test::TempDir dir{"tarvio-descriptors"};
    const fs::path exe = dir.Path() / "tarvio";
    fs::copy_file(TARVIO_PATH, exe);
    dir.Write("tarvio.ini", BoardIni(BoardPrices));
    fs::create_directories(dir.Path() / "devices");
    const std::vector<std::string> env{"QT_QPA_PLATFORM=offscreen",
                                       "KIVO_DEVICE_DIR=" + (dir.Path() / "devices").string()};
    // Each step up gets the program further into its start, until it meets
    // something that needs a descriptor of its own.
    bool toldWhy = false;
    std::string lastSaid;
    for (int limit = 4; limit <= 64 && !toldWhy; ++limit) {
        const fs::path output = dir.Path() / ("limit-" + std::to_string(limit) + ".out");
        TChild tarvio({"prlimit", "--nofile=" + std::to_string(limit), exe.string()}, env,
                      output.string());
        // A box waits for an operator: what it says is on standard error first.
        // The program's own lines begin with its name (the loader's begin with its path).
        auto ownLine = [](const std::string& text) {
            return text.rfind("tarvio: ", 0) == 0 || text.find("\ntarvio: ") != std::string::npos;
        };
        kivo::test::WaitUntil(20s, [&] { return !tarvio.Running() || ownLine(ReadText(output)); });
        const std::string said = ReadText(output);
        lastSaid = said;
        EXPECT_EQ(said.find("terminate called"), std::string::npos)
            << "with " << limit << " descriptors: " << said;
        toldWhy = said.find("tarvio: Cannot watch for termination signals: Too many open files") !=
                  std::string::npos;
        // Past that point without meeting it: the ones further on say their own.
        if (!toldWhy && ownLine(said)) break;
    }
    EXPECT_TRUE(toldWhy) << lastSaid;
}

// Asked from a terminal, with or without a display, the answer is text and
// no window; the help names the settings file this very copy uses.
TEST(ProgramStart, HelpAndVersionAnswerWithoutOpeningTheWindow)
{
    kivo::test::TempDir dir{"tarvio-help"};
    const fs::path exe = dir.Path() / "tarvio";
    fs::copy_file(TARVIO_PATH, exe);
    const std::vector<std::string> noDisplay{"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=",
                                             "XDG_SESSION_TYPE=tty"};
    for (const char* option : {"--help", "-h"}) {
        const fs::path output = dir.Path() / "help.out";
        TChild tarvio({exe.string(), option}, noDisplay, output.string());
        EXPECT_EQ(tarvio.WaitExit(20s), std::optional<int>(0)) << option;
        const std::string said = ReadText(output);
        EXPECT_EQ(said.rfind("Usage: tarvio", 0), 0u) << said;
        EXPECT_NE(said.find((dir.Path() / "tarvio.ini").string()), std::string::npos) << said;
    }
    const fs::path output = dir.Path() / "version.out";
    TChild tarvio({exe.string(), "--version"}, noDisplay, output.string());
    EXPECT_EQ(tarvio.WaitExit(20s), std::optional<int>(0));
    EXPECT_TRUE(std::regex_match(ReadText(output), std::regex("tarvio [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << ReadText(output);
}

TEST_F(Program, TestModeSendsACounterFrameEverySecond)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    Click(546, 20, true);  // Ctrl and a click on the "T" panel
    ASSERT_TRUE(Sign->WaitFor("in", 3, 15s));
    std::vector<TSignEvent> frames = Sign->Events("in");
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string counter = "000" + std::to_string(i + 1);
        EXPECT_EQ(frames[i].Text, PriceFrame(std::vector<std::string>(8, counter)));
    }
    for (std::size_t i = 1; i < 3; ++i) {
        double gap = frames[i].Seconds - frames[i - 1].Seconds;
        EXPECT_GT(gap, 0.6) << "frame " << i;
        EXPECT_LT(gap, 1.8) << "frame " << i;
    }
}

TEST_F(Program, EveryWindowCarriesExactlyItsOwnCaption)
{
    if (!ToolAvailable("xprop")) GTEST_SKIP() << "xprop is missing; scripts/deps installs it";
    // At first show the prompt lists COM3; its OK opens the port.
    std::string prompt = StartAskingForAPort();
    ASSERT_FALSE(prompt.empty()) << ReadText(Dir.Path() / "tarvio.out");
    EXPECT_EQ(NetWmName(prompt), "Select Port");
    ASSERT_TRUE(RunCommand({"xdotool", "mousemove", "--window", prompt, "50", "108", "click", "1"},
                           Env(), 10s));
    ASSERT_TRUE(FindWindow()) << ReadText(Dir.Path() / "tarvio.out");
    EXPECT_EQ(NetWmName(Window), "Tarvio");

    // The next transmission asks again; Cancel gives the opening-error box.
    ClickAcertarAgora();
    prompt = WaitForWindowStarting("Select Port");
    ASSERT_FALSE(prompt.empty());
    EXPECT_EQ(NetWmName(prompt), "Select Port");
    ASSERT_TRUE(RunCommand({"xdotool", "mousemove", "--window", prompt, "166", "108", "click", "1"},
                           Env(), 10s));
    std::string box = WaitForWindowStarting("Tarvio");
    ASSERT_FALSE(box.empty());
    EXPECT_EQ(NetWmName(box), "Tarvio");

    // Its OK ends the program, and a launcher hears that it failed.
    ASSERT_TRUE(RunCommand({"xdotool", "windowfocus", box, "key", "Return"}, Env(), 10s));
    EXPECT_EQ(Tarvio->WaitExit(20s), std::optional<int>(1));
}

// scripts/demo as an operator runs it, from a copy in a folder of its own
// (it lays out demo/ beside its scripts/) with the built programs and a
// scripts/deps that installs nothing.
class Demo : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* tool : {"Xvfb", "xdotool", "import", "compare", "xdpyinfo"})
            if (!ToolAvailable(tool)) GTEST_SKIP() << tool << " is missing; scripts/deps installs it";
        fs::create_directories(Dir.Path() / "scripts");
        fs::create_directories(Dir.Path() / "build" / "bin");
        fs::copy_file(TARVIO_DEMO_SCRIPT, Dir.Path() / "scripts" / "demo");
        Dir.Write("scripts/deps", "#!/bin/sh\nexit 0\n");
        fs::permissions(Dir.Path() / "scripts" / "deps", fs::perms::owner_exec, fs::perm_options::add);
        fs::create_symlink(TARVIO_PATH, Dir.Path() / "build" / "bin" / "tarvio");
    }

    void UseSign(const std::vector<std::string>& extra)
    {
        std::string script = "#!/bin/sh\nexec '" TARVIO_SIGN_SIM_PATH "' \"$@\"";
        for (const std::string& option : extra) script += " " + option;
        Dir.Write("build/bin/tarvio-sign-sim", script + "\n");
        fs::permissions(Dir.Path() / "build" / "bin" / "tarvio-sign-sim", fs::perms::owner_exec,
                        fs::perm_options::add);
    }

    // Runs it to its end; what it said is in Said().
    std::optional<int> Run(const std::vector<std::string>& args, std::vector<std::string> env)
    {
        std::vector<std::string> argv{(Dir.Path() / "scripts" / "demo").string(), "--no-build"};
        argv.insert(argv.end(), args.begin(), args.end());
        for (std::string fallback : {"TARVIO_BUILD_DIR=" + (Dir.Path() / "build").string(),
                                     "XDG_CONFIG_HOME=" + (Dir.Path() / "config").string(),
                                     std::string("QT_QPA_PLATFORM="), std::string("WAYLAND_DISPLAY=")}) {
            std::string key = fallback.substr(0, fallback.find('=') + 1);
            if (std::none_of(env.begin(), env.end(), [&](const std::string& e) { return e.rfind(key, 0) == 0; }))
                env.push_back(fallback);
        }
        TChild demo(argv, env, (Dir.Path() / "demo.out").string());
        return demo.WaitExit(100s);
    }

    // What the demo said, then what the program it ran said.
    std::string Said() const
    {
        return ReadText(Dir.Path() / "demo.out") + "--- tarvio.out:\n" +
               ReadText(Dir.Path() / "demo" / "tarvio.out");
    }
    // The caller's own display, for the windowed demo.
    std::string OwnDisplay()
    {
        Display.emplace();
        if (Display->Name().empty() || !Display->WaitUsable()) return {};
        return Display->Name();
    }

    bool Screenshot() const { return fs::exists(Dir.Path() / "demo" / "tarvio-demo.png"); }

    kivo::test::TempDir Dir{"tarvio-demo"};
    std::optional<TDisplay> Display;
};

// A DISPLAY inherited from another session that names no server.
TEST_F(Demo, ADisplayThatDoesNotAnswerIsReplacedByAPrivateOne)
{
    UseSign({});
    int number = 4242;
    while (fs::exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
           fs::exists("/tmp/.X" + std::to_string(number) + "-lock"))
        ++number;
    EXPECT_EQ(Run({}, {"DISPLAY=:" + std::to_string(number)}), std::optional<int>(0)) << Said();
    EXPECT_NE(Said().find("does not answer; using a private one"), std::string::npos) << Said();
    EXPECT_NE(Said().find("the sign answered: @ALIVE-1459 1529"), std::string::npos) << Said();
    EXPECT_TRUE(Screenshot()) << Said();
}

TEST_F(Demo, ASignThatNeverAnswersIsAFailure)
{
    UseSign({"--fault", "silent"});
    EXPECT_EQ(Run({"--headless"}, {}), std::optional<int>(1)) << Said();
    EXPECT_NE(Said().find("the sign got the frame but its answer did not arrive"), std::string::npos)
        << Said();
    EXPECT_TRUE(Screenshot()) << "the window as it stood is still kept: " << Said();
}

// The windowed demo ends when the program does; a program that failed is not
// a window that was closed.
TEST_F(Demo, AProgramThatFailsWithADisplayIsAFailure)
{
    UseSign({});
    const fs::path program = Dir.Path() / "build" / "bin" / "tarvio";
    fs::remove(program);
    Dir.Write("build/bin/tarvio", "#!/bin/sh\necho 'cannot open COM1: the port is busy' >&2\nexit 1\n");
    fs::permissions(program, fs::perms::owner_exec, fs::perm_options::add);
    const std::string display = OwnDisplay();
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    EXPECT_EQ(Run({}, {"DISPLAY=" + display}), std::optional<int>(1)) << Said();
    EXPECT_NE(Said().find("it said: cannot open COM1: the port is busy"), std::string::npos) << Said();
    EXPECT_EQ(Said().find("the window has closed"), std::string::npos) << Said();
}

// CI shells export QT_QPA_PLATFORM=offscreen: a window there is seen by nobody
// and never closed.
TEST_F(Demo, AnOffscreenPlatformRunsOnAPrivateDisplay)
{
    UseSign({});
    const std::string display = OwnDisplay();
    ASSERT_FALSE(display.empty()) << "Xvfb did not start";
    EXPECT_EQ(Run({}, {"DISPLAY=" + display, "QT_QPA_PLATFORM=offscreen"}), std::optional<int>(0))
        << Said();
    EXPECT_NE(Said().find("QT_QPA_PLATFORM=offscreen shows no window"), std::string::npos) << Said();
    EXPECT_NE(Said().find("the sign answered: @ALIVE-1459 1529"), std::string::npos) << Said();
    EXPECT_TRUE(Screenshot()) << Said();
}

} // namespace
} // namespace tarvio::e2e
