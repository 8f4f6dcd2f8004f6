// The yardstick reader against files whose meaning is known by hand: if it
// misreads, the settings fuzzer judges the platform by a wrong rule.

#include "fuzz/ini_model.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using namespace kivo::fuzz;

namespace {

std::optional<std::string> Value(const std::string& content, const std::string& section,
                                 const std::string& key)
{
    return LookupIni(ParseIni(content), section, key);
}

} // namespace

TEST(IniModel, LinesKeepTheirEndsAndALoneReturnStaysInTheText)
{
    std::vector<TIniLine> lines = ParseIni("a=1\r\nb=2\nc=3\r");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].Text, "a=1");
    EXPECT_EQ(lines[0].Ending, "\r\n");
    EXPECT_EQ(lines[1].Ending, "\n");
    EXPECT_EQ(lines[2].Text, "c=3\r");
    EXPECT_EQ(lines[2].Ending, "");
    EXPECT_TRUE(ParseIni("").empty());
    EXPECT_EQ(ParseIni("\n\n").size(), 2u);
}

TEST(IniModel, NamesMatchWithoutCaseAndValuesAreTrimmedAndUnquoted)
{
    const std::string file = "\xEF\xBB\xBF[Tarvio] ; note\r\n"
                             "  P1  =   12 34  \r\n"
                             "Q=\"  q  \"\r\n"
                             "Half=\"open\r\n"
                             "E=\r\n";
    EXPECT_EQ(Value(file, "tarvio", "p1"), "12 34");
    EXPECT_EQ(Value(file, " TARVIO\t", " P1 "), "12 34");
    EXPECT_EQ(Value(file, "Tarvio", "Q"), "  q  ");
    EXPECT_EQ(Value(file, "Tarvio", "Half"), "\"open");
    EXPECT_EQ(Value(file, "Tarvio", "E"), "");
    EXPECT_EQ(Value(file, "Tarvio", "Missing"), std::nullopt);
}

TEST(IniModel, CommentsBrokenHeadersAndKeysOutsideSectionsAreNotKeys)
{
    const std::string file = "Early=0\n"
                             "[A]\n"
                             "; k=1\n"
                             "  # k=2\n"
                             "=3\n"
                             "no equals sign\n"
                             "[Broken\n"
                             "k=4\n";
    EXPECT_EQ(Value(file, "A", "k"), "4") << "an unclosed header does not end the section";
    EXPECT_EQ(Value(file, "", "Early"), std::nullopt);
    EXPECT_EQ(Value(file, "Broken", "k"), std::nullopt);
    std::vector<TIniVisibleKey> keys = VisibleIniKeys(ParseIni(file));
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].Line, 7u);
}

TEST(IniModel, FirstSectionAndFirstKeyOfANameWin)
{
    const std::string file = "[S]\nk=first\nK=second\n[T]\nk=t\n[s]\nk=later\nnew=1\n";
    EXPECT_EQ(Value(file, "S", "k"), "first");
    EXPECT_EQ(Value(file, "S", "new"), std::nullopt);
    std::optional<TIniBlock> block = FindIniBlock(ParseIni(file), "s");
    ASSERT_TRUE(block);
    EXPECT_EQ(block->Header, 0u);
    EXPECT_EQ(block->End, 3u);
    std::vector<TIniVisibleKey> keys = VisibleIniKeys(ParseIni(file));
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].Value, "first");
    EXPECT_EQ(keys[1].Section, "T");
}

TEST(IniModel, IntegerForms)
{
    EXPECT_EQ(ParseIniInt("3"), 3);
    EXPECT_EQ(ParseIniInt("0x10"), 16);
    EXPECT_EQ(ParseIniInt("$10"), 16);
    EXPECT_EQ(ParseIniInt("X1f"), 31);
    EXPECT_EQ(ParseIniInt("-1"), -1);
    EXPECT_EQ(ParseIniInt("+25"), 25);
    EXPECT_EQ(ParseIniInt("-2147483648"), INT32_MIN);
    EXPECT_EQ(ParseIniInt("$FFFFFFFF"), -1);
    EXPECT_EQ(ParseIniInt("-0x1"), -1);
    for (const char* bad : {"COM3", "", "-", "0x", "12a", "2147483648", "0x100000000", "1 2", "--1", "a"})
        EXPECT_EQ(ParseIniInt(bad), std::nullopt) << bad;
}

TEST(IniModel, WritableNamesAreThoseAReaderFindsAgain)
{
    EXPECT_TRUE(IniSectionWritable("Hora_Muda"));
    EXPECT_TRUE(IniSectionWritable("[x"));
    EXPECT_FALSE(IniSectionWritable("a]b"));
    EXPECT_FALSE(IniSectionWritable(" \t"));
    EXPECT_TRUE(IniKeyWritable("P1"));
    EXPECT_TRUE(IniKeyWritable("a;b[c]"));
    for (const char* bad : {"", "  ", "a=b", "a\nb", "a\rb", ";x", " #x", "[x]", "[x"})
        EXPECT_FALSE(IniKeyWritable(bad)) << bad;
    EXPECT_TRUE(IniValueWritable(" anything = [at] all ; "));
    EXPECT_FALSE(IniValueWritable("two\nlines"));
}
