// The settings-file check: the platform's functions pass the cases the
// fuzzer once failed them on, and faulty stand-ins are each caught.

#include "fuzz/profile_check.h"

#include "platform/profile.h"
#include "tests/fuzz/fuzz_cases.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

using namespace kivo;
using namespace kivo::fuzz;
using kivo::fuzz::test::Bytes;
using kivo::fuzz::test::ProfileCase;

namespace {

const std::string BoardFile = "[Porta]\nPort=3\n[Tarvio]\nP1=9999\nP2=1234\n[Hora_Muda]\nHora=7\n";

std::string Slurp(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void Spill(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Doubles, each with one fault a real implementation could have.
std::string ReadOneTooMany(const std::string& s, const std::string& k, const std::string& d,
                           win::DWORD size, const std::string& f)
{
    return win::GetPrivateProfileString(s, k, d, size + 1, f);
}

int ReadDecimalOnly(const std::string& s, const std::string& k, int d, const std::string& f)
{
    std::string text = win::GetPrivateProfileString(s, k, "", 2048, f);
    if (text.empty() || text.find_first_not_of("+-0123456789") != std::string::npos) return d;
    return std::stoi(text);
}

win::BOOL WriteDroppingTheFinalNewline(const std::string& s, const std::string& k,
                                       const std::string& v, const std::string& f)
{
    win::BOOL ok = win::WritePrivateProfileString(s, k, v, f);
    std::string content = Slurp(f);
    if (!content.empty() && content.back() == '\n') content.pop_back();
    Spill(f, content);
    return ok;
}

win::BOOL WriteAnyKey(const std::string& s, const std::string& k, const std::string& v,
                      const std::string& f)
{
    if (win::WritePrivateProfileString(s, k, v, f)) return win::TRUE;
    std::string content = Slurp(f);
    std::size_t header = content.find("[" + s + "]\n");
    if (header == std::string::npos) return win::FALSE;
    content.insert(header + s.size() + 3, k + "=" + v + "\n");
    Spill(f, content);
    return win::TRUE;
}

win::BOOL WriteFoldingCase(const std::string& s, const std::string& k, const std::string& v,
                           const std::string& f)
{
    win::BOOL ok = win::WritePrivateProfileString(s, k, v, f);
    std::string content = Slurp(f);
    for (char& c : content)
        if ('a' <= c && c <= 'z') c = static_cast<char>(c - 32);
    Spill(f, content);
    return ok;
}

class ProfileCheck : public ::testing::Test {
protected:
    kivo::test::TempDir Dir{"kivo-fuzz-profile"};
    std::string Path = (Dir / "settings.ini").string();
    TProfileFunctions Real = PlatformProfileFunctions();

    std::string Run(const std::string& input, const TProfileFunctions& functions)
    {
        return CheckProfileCase(Bytes(input), input.size(), functions, Path);
    }
    std::string Run(const std::string& input) { return Run(input, Real); }
};

} // namespace

TEST_F(ProfileCheck, PlatformFunctionsPassReplacingAddingAndCreating)
{
    EXPECT_EQ(Run(ProfileCase(0, 2, 3, "0999", "", "", BoardFile)), "");
    EXPECT_EQ(Run(ProfileCase(1, 1, 0, "-1", "", "Minuto", BoardFile)), "");
    EXPECT_EQ(Run(ProfileCase(2, 0, 9, "x", "Novo", "K", BoardFile)), "");
    EXPECT_EQ(Run(ProfileCase(3, 0xFF, 1, " \"q\" ", "", "", "\xEF\xBB\xBF[a]\r\nB = 1\r\n")), "");
    EXPECT_EQ(Run(ProfileCase(2, 0, 0, "v", "S", "K", "")), "");
    EXPECT_EQ(Run(ProfileCase(2, 0, 0, "v", "S", "K", "no final newline")), "");
}

TEST_F(ProfileCheck, PlatformWriteKeepsALoneReturnOnTheLastLine)
{
    EXPECT_EQ(Run(ProfileCase(1, 0, 0, "v", "", "New", "[A]\nk=1\r")), "");
    EXPECT_EQ(Run(ProfileCase(2, 0, 0, "v", "B", "New", "[A]\nk=1\r")), "");
}

TEST_F(ProfileCheck, PlatformWriteRefusesKeysThatWouldNotReadBack)
{
    for (const char* key : {"[B]", "#x", " ;x"}) {
        EXPECT_EQ(Run(ProfileCase(1, 0, 0, "1", "", key, "[A]\nk=1\n[B]\nz=2\n")), "") << key;
        EXPECT_EQ(Slurp(Path), "[A]\nk=1\n[B]\nz=2\n") << key;
    }
}

TEST_F(ProfileCheck, LongValuesAreReadAsTheirFirst2047Characters)
{
    std::string file = "[T]\nP1=" + std::string(3000, '9') + "\n";
    EXPECT_EQ(Run(ProfileCase(0, 0, 200, std::string(2100, 'L'), "", "", file)), "");
    std::string finding = Run(ProfileCase(0, 0, 200, "1", "", "", file),
                              {&ReadOneTooMany, Real.ReadInt, Real.Write});
    EXPECT_NE(finding.find("gave 2048 characters"), std::string::npos) << finding;
}

TEST_F(ProfileCheck, FaultyStandInsAreCaught)
{
    std::string hex = ProfileCase(0, 0, 0, "1", "", "", "[Porta]\nPort=0x10\n");
    std::string finding = Run(hex, {Real.ReadString, &ReadDecimalOnly, Real.Write});
    EXPECT_NE(finding.find("integer read of [\"Porta\"] \"Port\" gave -123457, expected 16"),
              std::string::npos)
        << finding;

    std::string addKey = ProfileCase(1, 1, 0, "-1", "", "Minuto", BoardFile);
    finding = Run(addKey, {Real.ReadString, Real.ReadInt, &WriteDroppingTheFinalNewline});
    EXPECT_NE(finding.find("line 7 was \"Hora=7\\x0A\", is now \"Hora=7\""), std::string::npos) << finding;

    std::string header = ProfileCase(1, 0, 0, "1", "", "[B]", "[A]\nk=1\n[B]\nz=2\n");
    finding = Run(header, {Real.ReadString, Real.ReadInt, &WriteAnyKey});
    EXPECT_NE(finding.find("accepted, though a reader cannot find it again"), std::string::npos)
        << finding;

    finding = Run(ProfileCase(0, 0, 0, "v", "", "", BoardFile),
                  {Real.ReadString, Real.ReadInt, &WriteFoldingCase});
    EXPECT_NE(finding.find("line 1 was"), std::string::npos) << finding;
}
