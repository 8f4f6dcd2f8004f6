// The installed tree and the Debian package, as a user would receive them.

#include "tests/support/temp_dir.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using kivo::test::TempDir;

std::string Quote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs a shell command with its output into a file in dir; the exit code.
int RunShell(const TempDir& dir, const std::string& command, std::string* output = nullptr)
{
    int status = std::system((command + " >" + Quote((dir / "out.txt").string()) + " 2>&1").c_str());
    if (output) *output = dir.Read("out.txt");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadPath(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::set<std::string> FilesUnder(const fs::path& root)
{
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (!entry.is_directory()) files.insert(fs::relative(entry.path(), root).string());
    return files;
}

const char* const MetainfoFile = "share/metainfo/invalid.tarvio.tarvio.metainfo.xml";

// Under the installation prefix; the example settings go to <prefix>/etc,
// which is /etc for the prefix /usr.
std::set<std::string> ExpectedFiles()
{
    std::set<std::string> files{"bin/tarvio-sign-sim",
                                "share/man/man1/tarvio-sign-sim.1.gz",
                                "share/applications/tarvio.desktop",
                                "share/icons/hicolor/scalable/apps/tarvio.svg",
                                MetainfoFile,
                                "share/doc/tarvio/copyright",
                                "share/doc/tarvio/changelog.gz",
                                "etc/tarvio/tarvio.ini"};
    if (TARVIO_BUILT) files.insert({"bin/tarvio", "share/man/man1/tarvio.1.gz"});
    if (TARVIO_PORTS_BUILT) files.insert({"bin/tarvio-ports", "share/man/man1/tarvio-ports.1.gz"});
    if (TARVIO_HAS_README)
        files.insert({"share/doc/tarvio/README.md", "share/doc/tarvio/docs/ARCHITECTURE.md",
                      "share/doc/tarvio/docs/PERFORMANCE.md", "share/doc/tarvio/docs/screenshot.png"});
    return files;
}

// The same files as the package holds them, installed with the prefix /usr.
std::string PackagePath(const std::string& file)
{
    return file.starts_with("etc/") ? "./" + file : "./usr/" + file;
}

class InstallTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string output;
        int code = RunShell(Work, std::string(KIVO_CMAKE_COMMAND) + " --install " +
                                 Quote(KIVO_BUILD_DIR) + " --prefix " + Quote(Prefix.string()),
                       &output);
        ASSERT_EQ(code, 0) << output;
    }

    TempDir Work{"install-test"};
    fs::path Prefix = Work / "prefix";
};

TEST_F(InstallTree, HoldsExactlyTheFilesOfThePackage)
{
    EXPECT_EQ(FilesUnder(Prefix), ExpectedFiles());
}

TEST_F(InstallTree, ProgramsAreExecutableAndTheSimulatorRuns)
{
    for (const char* program : {"bin/tarvio-sign-sim", "bin/tarvio"}) {
        if (std::string(program) == "bin/tarvio" && !TARVIO_BUILT) continue;
        auto perms = fs::status(Prefix / program).permissions();
        EXPECT_NE(perms & fs::perms::owner_exec, fs::perms::none) << program;
        EXPECT_NE(perms & fs::perms::others_exec, fs::perms::none) << program;
    }
    std::string output;
    EXPECT_EQ(RunShell(Work, Quote((Prefix / "bin/tarvio-sign-sim").string()) + " --help", &output), 0);
    EXPECT_THAT(output, HasSubstr("Usage: tarvio-sign-sim"));
}

TEST_F(InstallTree, DesktopEntryStartsTheProgramWithItsIcon)
{
    std::string entry = ReadPath(Prefix / "share/applications/tarvio.desktop");
    ASSERT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u);
    for (const char* line : {"\nType=Application\n", "\nName=Tarvio\n", "\nExec=tarvio\n",
                             "\nIcon=tarvio\n", "\nTerminal=false\n", "\nCategories=Office;\n"})
        EXPECT_THAT(entry, HasSubstr(line));
    std::string output;
    ASSERT_EQ(RunShell(Work, "command -v desktop-file-validate"), 0)
        << "desktop-file-validate is missing: scripts/deps installs it";
    EXPECT_EQ(RunShell(Work, "desktop-file-validate " +
                                 Quote((Prefix / "share/applications/tarvio.desktop").string()),
                       &output),
              0)
        << output;
}

TEST_F(InstallTree, IconIsAScalableSvgDocument)
{
    std::string icon = ReadPath(Prefix / "share/icons/hicolor/scalable/apps/tarvio.svg");
    EXPECT_EQ(icon.rfind("<?xml", 0), 0u);
    EXPECT_THAT(icon, HasSubstr("<svg xmlns=\"http://www.w3.org/2000/svg\""));
    EXPECT_THAT(icon, HasSubstr("viewBox=\"0 0 128 128\""));
    auto end = icon.find_last_not_of("\n ");
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(icon.substr(0, end + 1).substr(icon.substr(0, end + 1).size() - 6), "</svg>");
}

TEST_F(InstallTree, ReadmeIsTheSourceReadme)
{
    if (!TARVIO_HAS_README) GTEST_SKIP() << "no README.md in the source tree yet";
    const fs::path docs = Prefix / "share/doc/tarvio";
    const std::string readme = ReadPath(docs / "README.md");
    EXPECT_EQ(readme, ReadPath(fs::path(KIVO_SOURCE_DIR) / "README.md"));
    // Every file it names under docs/, and every link or image, is there beside it.
    static const std::regex named(R"((?:\]\(|`)((?:docs/)[^)`#\s]+))");
    int seen = 0;
    for (std::sregex_iterator it(readme.begin(), readme.end(), named), end; it != end; ++it, ++seen)
        EXPECT_TRUE(fs::exists(docs / (*it)[1].str())) << (*it)[1].str();
    EXPECT_GT(seen, 0);
}

// One package built with the real cpack and unpacked, for all the checks.
class DebPackage : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Work = new TempDir("deb-test");
        std::string output;
        // Packed under the tightest umask a builder may have: it must not
        // reach the modes of the folders dpkg creates on the operator's PC.
        BuildCode =
            RunShell(*Work,
                     "umask 077 && " + std::string(KIVO_CPACK_COMMAND) + " -G DEB --config " +
                         Quote(std::string(KIVO_BUILD_DIR) + "/CPackConfig.cmake") + " -B " +
                         Quote(Work->Path().string()),
                     &output);
        BuildOutput = new std::string(output);
        for (const auto& entry : fs::directory_iterator(Work->Path()))
            if (entry.path().extension() == ".deb") Debs.push_back(entry.path());
        if (Debs.size() == 1)
            RunShell(*Work, "dpkg-deb -x " + Quote(Debs[0].string()) + " " + Quote(Root().string()));
    }
    static void TearDownTestSuite()
    {
        delete Work;
        delete BuildOutput;
        Debs.clear();
    }

    void SetUp() override
    {
        ASSERT_EQ(BuildCode, 0) << *BuildOutput;
        ASSERT_EQ(Debs.size(), 1u) << *BuildOutput;
    }

    static fs::path Root() { return Work->Path() / "root"; }
    const fs::path& Deb() const { return Debs[0]; }

    // A tool the checks need, installed by scripts/deps.
    void RequireTool(const std::string& tool) const
    {
        ASSERT_EQ(RunShell(*Work, "command -v " + tool), 0) << tool << " is missing: scripts/deps installs it";
    }

    static inline TempDir* Work = nullptr;
    static inline int BuildCode = -1;
    static inline std::string* BuildOutput = nullptr;
    static inline std::vector<fs::path> Debs;
};

TEST_F(DebPackage, CarriesTheTreeAndNamesItsRuntimePackages)
{
    EXPECT_THAT(Deb().filename().string(), ::testing::StartsWith("tarvio_"));
    std::string output;
    ASSERT_EQ(RunShell(*Work, "dpkg-deb -f " + Quote(Deb().string()) + " Package Depends", &output), 0)
        << output;
    EXPECT_THAT(output, HasSubstr("Package: tarvio\n"));
    EXPECT_THAT(output, HasSubstr("libc6"));
    if (TARVIO_BUILT) {
        EXPECT_THAT(output, HasSubstr("libqt6widgets6"));
        EXPECT_THAT(output, HasSubstr("libqt6gui6")) << "it carries the xcb platform plugin";
        EXPECT_THAT(output, HasSubstr("fonts-liberation"));
    }

    ASSERT_EQ(RunShell(*Work, "dpkg-deb -c " + Quote(Deb().string()), &output), 0) << output;
    for (const std::string& file : ExpectedFiles())
        EXPECT_THAT(output, HasSubstr(PackagePath(file) + "\n")) << file;
}

// A folder the package creates with another mode stays so: an /etc/tarvio
// only root may enter leaves every operator's program unable to read its settings.
TEST_F(DebPackage, EntriesHaveTheModesOfAnInstalledSystem)
{
    std::string output;
    ASSERT_EQ(RunShell(*Work, "dpkg-deb -c " + Quote(Deb().string()), &output), 0) << output;
    std::istringstream listing(output);
    int entries = 0;
    for (std::string mode, owner, line; listing >> mode >> owner && std::getline(listing, line);
         ++entries) {
        std::string path = line.substr(line.rfind(' ') + 1);
        std::string expected = path.ends_with("/")              ? "drwxr-xr-x"
                               : path.starts_with("./usr/bin/") ? "-rwxr-xr-x"
                                                                : "-rw-r--r--";
        EXPECT_EQ(mode, expected) << path;
        EXPECT_EQ(owner, "root/root") << path;
    }
    EXPECT_GT(entries, static_cast<int>(ExpectedFiles().size()));
}

// Warnings count too: a maintainer script that goes on after a failed step
// is one.
TEST_F(DebPackage, PassesLintianWithoutErrorsOrWarnings)
{
    RequireTool("lintian");
    std::string output;
    EXPECT_EQ(RunShell(*Work, "lintian --fail-on error,warning " + Quote(Deb().string()), &output),
              0)
        << output;
}

TEST_F(DebPackage, AppStreamMetadataValidatesWithItsDesktopEntry)
{
    RequireTool("appstreamcli");
    std::string output;
    // The tree check also finds the desktop entry the metadata launches.
    EXPECT_EQ(RunShell(*Work, "appstreamcli validate-tree --no-net " + Quote(Root().string()), &output), 0)
        << output;
    std::string metainfo = ReadPath(Root() / "usr" / MetainfoFile);
    EXPECT_THAT(metainfo, HasSubstr("<screenshot type=\"default\">"));
    EXPECT_THAT(metainfo, HasSubstr("<launchable type=\"desktop-id\">tarvio.desktop</launchable>"));
    // A search for any of the package's commands finds the package.
    for (const auto& program : fs::directory_iterator(Root() / "usr/bin"))
        EXPECT_THAT(metainfo, HasSubstr("<binary>" + program.path().filename().string() + "</binary>"));
}

TEST_F(DebPackage, ExampleSettingsAreACommentedConffile)
{
    std::string output;
    ASSERT_EQ(RunShell(*Work, "dpkg-deb -I " + Quote(Deb().string()) + " conffiles", &output), 0)
        << output;
    EXPECT_EQ(output, "/etc/tarvio/tarvio.ini\n");
    std::istringstream example(ReadPath(Root() / "etc/tarvio/tarvio.ini"));
    for (std::string line; std::getline(example, line);)
        EXPECT_TRUE(line.empty() || line.front() == ';') << "not a comment: " << line;
}

// What the technician set with tarvio-ports --system goes with a purge, as
// the conffile does, and stays through a removal or a failed upgrade: a purged
// and reinstalled program must not open the sign's port through a forgotten
// adapter. Anything else in /etc/tarvio is theirs and stays.
TEST_F(DebPackage, PurgeTakesTheSystemWideLinksAndNothingElse)
{
    TempDir target("deb-purge");
    fs::path control = target / "control";
    std::string output;
    ASSERT_EQ(RunShell(target,
                       "dpkg-deb -e " + Quote(Deb().string()) + " " + Quote(control.string()),
                       &output),
              0)
        << output;
    ASSERT_TRUE(fs::exists(control / "postrm"))
        << "no postrm: a purge leaves /etc/tarvio/devices behind";
    fs::path root = target / "root";
    fs::path devices = root / "etc/tarvio/devices";
    fs::create_directories(devices);
    fs::create_symlink("/dev/serial/by-id/usb-FTDI_A-if00-port0", devices / "com1");
    target.Write("root/etc/tarvio/wiring.txt", "the shop's notes\n");
    // As root, a script that forgot DPKG_ROOT would reach this machine's /etc.
    std::string as;
    if (::geteuid() == 0) {
        RequireTool("setpriv");
        fs::permissions(target.Path(), fs::perms::others_read | fs::perms::others_exec,
                        fs::perm_options::add);
        ASSERT_EQ(RunShell(target, "chown -R nobody:nogroup " + Quote(root.string())), 0);
        as = "setpriv --reuid=nobody --regid=nogroup --clear-groups -- ";
    }
    auto postrm = [&](const std::string& arguments) {
        return RunShell(target,
                        as + "env DPKG_ROOT=" + Quote(root.string()) + " " +
                            Quote((control / "postrm").string()) + " " + arguments,
                        &output);
    };
    for (const char* arguments : {"remove", "upgrade 0.1.0", "failed-upgrade 0.1.0",
                                  "abort-upgrade 0.1.0", "abort-install"}) {
        EXPECT_EQ(postrm(arguments), 0) << arguments << ": " << output;
        EXPECT_TRUE(fs::is_symlink(devices / "com1")) << arguments;
    }
    EXPECT_EQ(postrm("purge"), 0) << output;
    EXPECT_FALSE(fs::exists(fs::symlink_status(devices / "com1")));
    EXPECT_FALSE(fs::exists(devices));
    EXPECT_EQ(ReadPath(root / "etc/tarvio/wiring.txt"), "the shop's notes\n");
}

} // namespace
