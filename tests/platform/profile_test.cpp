// Settings files: reading rules, integer forms, and writes that keep every
// other byte of the file.

#include "platform/profile.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace kivo::win;
namespace fs = std::filesystem;

namespace {

class SettingsFile : public ::testing::Test {
protected:
    kivo::test::TempDir Dir{"kivo-profile"};
    std::string Path = (Dir / "board.ini").string();

    void Given(const std::string& text) const { Dir.Write("board.ini", text); }
    std::string Content() const { return Dir.Read("board.ini"); }
    std::string Text(const std::string& section, const std::string& key,
                     const std::string& fallback = "<default>", DWORD size = 2048) const
    {
        return GetPrivateProfileString(section, key, fallback, size, Path);
    }
    bool Write(const std::string& section, const std::string& key, const std::string& value) const
    {
        return WritePrivateProfileString(section, key, value, Path) == TRUE;
    }
    std::vector<std::string> FolderEntries() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(Dir.Path())) names.push_back(entry.path().filename());
        return names;
    }
};

// Permissions put back before the temporary folder is removed.
struct ModeGuard {
    ModeGuard(fs::path path, fs::perms mode) : Path(std::move(path)), Old(fs::status(Path).permissions())
    {
        fs::permissions(Path, mode);
    }
    ~ModeGuard() { fs::permissions(Path, Old); }
    fs::path Path;
    fs::perms Old;
};

} // namespace

TEST_F(SettingsFile, MissingFileSectionOrKeyGivesTheDefault)
{
    EXPECT_EQ(Text("Tarvio", "P1", "9999"), "9999");
    Given("[Tarvio]\nP1=1234\n");
    EXPECT_EQ(Text("Texto", "Des1", "Vazio"), "Vazio");
    EXPECT_EQ(Text("Tarvio", "P2", "9999"), "9999");
    EXPECT_EQ(GetPrivateProfileInt("Porta", "Port", 0, Path), 0);
    EXPECT_EQ(GetPrivateProfileInt("Tarvio", "P1", 0, (Dir / "absent.ini").string()), 0);
}

TEST_F(SettingsFile, NamesMatchWithoutRegardToCase)
{
    Given("[porta]\nPORT=7\n[TARVIO]\np1=1234\n");
    EXPECT_EQ(GetPrivateProfileInt("Porta", "Port", 0, Path), 7);
    EXPECT_EQ(Text("Tarvio", "P1"), "1234");
}

TEST_F(SettingsFile, ValuesLoseSurroundingBlanksAndMatchingQuotes)
{
    Given("[S]\n  a  =   12 34   \nb=\"  q  \"\nc=\"\nd=\"open\ne=\nf\t=\tx\t\n");
    EXPECT_EQ(Text("S", "a"), "12 34");
    EXPECT_EQ(Text("S", "b"), "  q  ");
    EXPECT_EQ(Text("S", "c"), "\"");
    EXPECT_EQ(Text("S", "d"), "\"open");
    EXPECT_EQ(Text("S", "e"), "");  // present but empty is not missing
    EXPECT_EQ(Text("S", "f"), "x");
}

TEST_F(SettingsFile, FirstSectionAndFirstKeyWin)
{
    Given("[A]\nk=1\nk=2\n[B]\nk=3\n[a]\nk=4\nj=5\n");
    EXPECT_EQ(Text("A", "k"), "1");
    EXPECT_EQ(Text("B", "k"), "3");
    EXPECT_EQ(Text("A", "j"), "<default>");
}

TEST_F(SettingsFile, CommentsStrayLinesAndKeysOutsideSectionsAreNoKeys)
{
    Given("k=0\n[S]\n;k=1\n#k=2\nnot a key line\n=orphan\n[Broken\nk=3\n");
    EXPECT_EQ(Text("S", "k"), "3");
    EXPECT_EQ(Text("S", ";k"), "<default>");
}

TEST_F(SettingsFile, CrLfLinesByteOrderMarkAndTrailingTextAfterHeader)
{
    Given("\xEF\xBB\xBF[Porta] ; hand made\r\nPort=$10\r\n[Tarvio]\r\nP1=12 4\r\n");
    EXPECT_EQ(GetPrivateProfileInt("Porta", "Port", 0, Path), 16);
    EXPECT_EQ(Text("Tarvio", "P1"), "12 4");
}

TEST_F(SettingsFile, TextsAreCutToTheBufferSize)
{
    std::string exact(2047, 'a');
    std::string longer(3000, 'b');
    Given("[S]\nexact=" + exact + "\nlonger=" + longer + "\n");
    EXPECT_EQ(Text("S", "exact"), exact);
    EXPECT_EQ(Text("S", "longer"), std::string(2047, 'b'));
    EXPECT_EQ(Text("S", "exact", "", 5), "aaaa");
    EXPECT_EQ(Text("S", "exact", "", 1), "");
    EXPECT_EQ(Text("S", "missing", "Vazio", 3), "Va");
}

struct IntegerRow {
    const char* Stored;
    int Expected;
};

class IntegerForms : public SettingsFile, public ::testing::WithParamInterface<IntegerRow> {};

constexpr int Fallback = -777;

TEST_P(IntegerForms, ReadAsTheRulesSay)
{
    Given(std::string("[S]\nn=") + GetParam().Stored + "\n");
    EXPECT_EQ(GetPrivateProfileInt("S", "n", Fallback, Path), GetParam().Expected) << '"' << GetParam().Stored << '"';
}

INSTANTIATE_TEST_SUITE_P(
    DecimalHexAndRejects, IntegerForms,
    ::testing::Values(
        IntegerRow{"0", 0}, IntegerRow{"123", 123}, IntegerRow{"-45", -45}, IntegerRow{"+7", 7},
        IntegerRow{"007", 7}, IntegerRow{" 42 ", 42}, IntegerRow{"\"16\"", 16},
        IntegerRow{"0x10", 16}, IntegerRow{"0X1f", 31}, IntegerRow{"$10", 16}, IntegerRow{"x10", 16},
        IntegerRow{"X10", 16}, IntegerRow{"-$10", -16}, IntegerRow{"-0x10", -16}, IntegerRow{"+$aB", 171},
        IntegerRow{"2147483647", INT_MAX}, IntegerRow{"-2147483648", INT_MIN},
        IntegerRow{"$7FFFFFFF", INT_MAX}, IntegerRow{"$FFFFFFFF", -1}, IntegerRow{"$80000000", INT_MIN},
        IntegerRow{"2147483648", Fallback}, IntegerRow{"-2147483649", Fallback},
        IntegerRow{"$100000000", Fallback}, IntegerRow{"99999999999999999999", Fallback},
        IntegerRow{"", Fallback}, IntegerRow{"COM3", Fallback}, IntegerRow{"12abc", Fallback},
        IntegerRow{"0x", Fallback}, IntegerRow{"$", Fallback}, IntegerRow{"-", Fallback},
        IntegerRow{"1 2", Fallback}, IntegerRow{"0x1g", Fallback}, IntegerRow{"--1", Fallback},
        IntegerRow{"1.5", Fallback}, IntegerRow{"$-1", Fallback}));

TEST_F(SettingsFile, FirstWriteCreatesTheFileWithItsSection)
{
    ASSERT_TRUE(Write("Tarvio", "P1", "1234"));
    ASSERT_TRUE(Write("Hora_Muda", "Hora", "-1"));
    EXPECT_EQ(Content(), "[Tarvio]\nP1=1234\n\n[Hora_Muda]\nHora=-1\n");
    EXPECT_EQ(GetPrivateProfileInt("hora_muda", "HORA", 0, Path), -1);
}

TEST_F(SettingsFile, ReplacingAValueKeepsEveryOtherByte)
{
    const std::string before =
        "; hand made\r\n"
        "[Porta]\r\n"
        "Port=3\r\n"
        "\r\n"
        "[Tarvio]\r\n"
        "P1 = 1111\r\n"
        "Extra=keep me\r\n"
        "P2=2222\r\n"
        "[Unknown]\r\n"
        "x=y\r\n";
    Given(before);
    ASSERT_TRUE(Write("tarvio", "p1", "9 99"));
    std::string expected = before;
    expected.replace(expected.find("P1 = 1111"), 9, "P1 = 9 99");
    EXPECT_EQ(Content(), expected);
    EXPECT_EQ(Text("Tarvio", "P1"), "9 99");
}

TEST_F(SettingsFile, NewKeyGoesAfterTheLastKeyOfItsSection)
{
    Given("[Tarvio]\r\nP1=1\r\nP2=2\r\n\r\n; colours follow\r\n[Cores]\r\nCor1=Vermelho\r\n");
    ASSERT_TRUE(Write("Tarvio", "P3", "3"));
    EXPECT_EQ(Content(),
              "[Tarvio]\r\nP1=1\r\nP2=2\r\nP3=3\r\n\r\n; colours follow\r\n[Cores]\r\nCor1=Vermelho\r\n");
}

TEST_F(SettingsFile, NewKeyInAnEmptySectionFollowsItsHeader)
{
    Given("[Tarvio]\n[Cores]\nCor1=Azul\n");
    ASSERT_TRUE(Write("Tarvio", "P1", "1"));
    EXPECT_EQ(Content(), "[Tarvio]\nP1=1\n[Cores]\nCor1=Azul\n");
}

TEST_F(SettingsFile, FileWithoutFinalNewline)
{
    Given("[Tarvio]\r\nP1=1");
    ASSERT_TRUE(Write("Tarvio", "P1", "2"));
    EXPECT_EQ(Content(), "[Tarvio]\r\nP1=2");
    ASSERT_TRUE(Write("Tarvio", "P2", "3"));
    EXPECT_EQ(Content(), "[Tarvio]\r\nP1=2\r\nP2=3\r\n");
    Given("[Porta]\nPort=1");
    ASSERT_TRUE(Write("Hora_Muda", "Hora", "7"));
    EXPECT_EQ(Content(), "[Porta]\nPort=1\n\n[Hora_Muda]\nHora=7\n");
}

TEST_F(SettingsFile, WritesGoToTheFirstOfDuplicates)
{
    Given("[A]\nk=1\nk=2\n[A]\nk=3\n");
    ASSERT_TRUE(Write("A", "k", "9"));
    EXPECT_EQ(Content(), "[A]\nk=9\nk=2\n[A]\nk=3\n");
    ASSERT_TRUE(Write("A", "new", "n"));
    EXPECT_EQ(Content(), "[A]\nk=9\nk=2\nnew=n\n[A]\nk=3\n");
}

TEST_F(SettingsFile, LineBreaksInNamesOrValuesAreRefusedAndChangeNothing)
{
    const std::string before = "[Tarvio]\nP1=1\n";
    Given(before);
    for (auto [section, key, value] : {std::tuple{"Tarvio", "P1", "1\n[Porta]\nPort=9"},
                                       std::tuple{"Tarvio", "P1", "1\r"},
                                       std::tuple{"Tar]vio", "P1", "1"},
                                       std::tuple{"Tarvio", "P=1", "1"},
                                       std::tuple{"Tarvio", "  ", "1"},
                                       std::tuple{"", "P1", "1"}}) {
        SetLastError(0);
        EXPECT_FALSE(Write(section, key, value)) << section << "/" << key;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(Content(), before);
}

TEST_F(SettingsFile, LongValuesRoundTrip)
{
    std::string value(2047, 'z');
    value[0] = 'A';
    ASSERT_TRUE(Write("Texto", "Des1", value));
    EXPECT_EQ(Text("Texto", "Des1"), value);
    ASSERT_TRUE(Write("Texto", "Des1", value + "tail"));
    EXPECT_EQ(Text("Texto", "Des1"), value);
}

TEST_F(SettingsFile, WriteKeepsPermissionsAndLeavesNoTemporaryFile)
{
    Given("[Tarvio]\nP1=1\n");
    fs::permissions(Path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(Write("Tarvio", "P1", "2"));
    EXPECT_EQ(fs::status(Path).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"board.ini"});
}

TEST_F(SettingsFile, WriteThroughASymbolicLinkKeepsTheLink)
{
    Dir.Write("real.ini", "[Tarvio]\nP1=1\n");
    fs::create_symlink(Dir / "real.ini", Path);
    ASSERT_TRUE(Write("Tarvio", "P1", "2"));
    EXPECT_TRUE(fs::is_symlink(Path));
    EXPECT_EQ(Dir.Read("real.ini"), "[Tarvio]\nP1=2\n");
}

TEST_F(SettingsFile, ReadOnlyFileIsNotWritten)
{
    const std::string before = "[Tarvio]\nP1=1\n";
    Given(before);
    ModeGuard readOnly(Path, fs::perms::owner_read | fs::perms::group_read);
    SetLastError(0);
    EXPECT_FALSE(Write("Tarvio", "P1", "2"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Content(), before);
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"board.ini"});
}

TEST_F(SettingsFile, ReadOnlyFolderStillLetsAWritableFileChange)
{
    Given("[Tarvio]\nP1=1\n; tail\n");
    ModeGuard readOnly(Dir.Path(), fs::perms::owner_read | fs::perms::owner_exec);
    ASSERT_TRUE(Write("Tarvio", "P1", "22"));
    EXPECT_EQ(Content(), "[Tarvio]\nP1=22\n; tail\n");
    ASSERT_TRUE(Write("Tarvio", "P1", "3"));  // shorter: the old tail must not linger
    EXPECT_EQ(Content(), "[Tarvio]\nP1=3\n; tail\n");
}

TEST_F(SettingsFile, ReadOnlyFolderRefusesANewFile)
{
    ModeGuard readOnly(Dir.Path(), fs::perms::owner_read | fs::perms::owner_exec);
    SetLastError(0);
    EXPECT_FALSE(Write("Tarvio", "P1", "1"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(fs::exists(Path));
}

TEST_F(SettingsFile, MissingFolderFailsWithPathNotFound)
{
    SetLastError(0);
    EXPECT_FALSE(WritePrivateProfileString("Tarvio", "P1", "1", (Dir / "nowhere" / "board.ini").string()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    Given("not a folder");
    SetLastError(0);
    EXPECT_FALSE(WritePrivateProfileString("Tarvio", "P1", "1", Path + "/inner.ini"));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(SettingsFile, WritesFromTwoThreadsAreNotLost)
{
    constexpr int rounds = 40;
    auto writer = [&](const char* key) {
        for (int i = 1; i <= rounds; ++i) WritePrivateProfileString("Tarvio", key, std::to_string(i), Path);
    };
    std::thread first(writer, "P1"), second(writer, "P2");
    first.join();
    second.join();
    EXPECT_EQ(Text("Tarvio", "P1"), std::to_string(rounds));
    EXPECT_EQ(Text("Tarvio", "P2"), std::to_string(rounds));
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"board.ini"});
}
