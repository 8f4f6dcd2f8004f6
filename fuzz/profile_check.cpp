// The settings-file case: decode the input, read every key the yardstick
// sees, write one key, and hold the file afterwards to the lines it had.

#include "fuzz/profile_check.h"

#include "fuzz/fuzz_input.h"
#include "fuzz/ini_model.h"
#include "fuzz/shown.h"
#include "platform/profile.h"

#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

namespace kivo::fuzz {

namespace {

constexpr win::DWORD ProgramReadSize = 2048;  // what the program asks for: 2047 characters
const std::string Missing = "\x01missing";
constexpr int MissingNumber = -123457;
constexpr std::size_t MaxReadsPerCase = 48;

void Store(const std::string& path, std::string_view content)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string Load(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The same name as a user might type it: other letter case, stray blanks.
std::string Varied(std::string name, unsigned pick)
{
    for (std::size_t i = 0; i < name.size(); ++i) {
        char& c = name[i];
        if (((pick >> (i % 7)) & 1) == 0) continue;
        if ('a' <= c && c <= 'z') c = static_cast<char>(c - 32);
        else if ('A' <= c && c <= 'Z') c = static_cast<char>(c + 32);
    }
    if (pick & 0x80) name = " " + name + "\t";
    return name;
}

bool SameLine(const TIniLine& a, const TIniLine& b)
{
    return a.Text == b.Text && a.Ending == b.Ending;
}

bool GoodEnding(const std::string& ending)
{
    return ending == "\n" || ending == "\r\n";
}

// A last line without a line end may gain one when something is added after it.
bool SameOrEnded(const TIniLine& before, const TIniLine& after, bool last)
{
    if (SameLine(before, after)) return true;
    return last && before.Ending.empty() && before.Text == after.Text && GoodEnding(after.Ending);
}

// Line b of the old file, and line a of the new one where it should be.
std::string LineNote(std::size_t b, const std::vector<TIniLine>& before, std::size_t a,
                     const std::vector<TIniLine>& after)
{
    auto show = [](const std::vector<TIniLine>& lines, std::size_t i) {
        return i < lines.size() ? Shown(lines[i].Text + lines[i].Ending) : std::string("(none)");
    };
    return "line " + std::to_string(b + 1) + " was " + show(before, b) + ", is now "
           + show(after, a);
}

std::string LineNote(std::size_t index, const std::vector<TIniLine>& before,
                     const std::vector<TIniLine>& after)
{
    return LineNote(index, before, index, after);
}

struct TWriteCase {
    std::string Section;
    std::string Key;
    std::string Value;
};

std::string CheckReads(const TProfileFunctions& functions, const std::string& path,
                       const std::vector<TIniLine>& lines, const TWriteCase& chosen,
                       win::DWORD oddSize)
{
    std::vector<std::pair<std::string, std::string>> queries;
    const TIniLine* section = nullptr;
    for (const TIniLine& line : lines) {
        if (queries.size() >= MaxReadsPerCase) break;
        if (line.Kind == TIniLineKind::ikSection) section = &line;
        else if (line.Kind == TIniLineKind::ikKey && section) queries.emplace_back(section->Name, line.Name);
    }
    queries.emplace_back(chosen.Section, chosen.Key);

    for (const auto& [s, k] : queries) {
        std::optional<std::string> expected = LookupIni(lines, s, k);
        std::string want = expected ? expected->substr(0, ProgramReadSize - 1) : Missing;
        std::string got = functions.ReadString(s, k, Missing, ProgramReadSize, path);
        std::string where = "[" + Shown(s) + "] " + Shown(k);
        if (got.size() > ProgramReadSize - 1)
            return "read of " + where + " gave " + std::to_string(got.size()) + " characters";
        if (got != want) return "read of " + where + " gave " + Shown(got) + ", expected " + Shown(want);

        int number = functions.ReadInt(s, k, MissingNumber, path);
        int wantNumber = expected ? ParseIniInt(*expected).value_or(MissingNumber) : MissingNumber;
        if (number != wantNumber)
            return "integer read of " + where + " gave " + std::to_string(number) + ", expected "
                   + std::to_string(wantNumber);
    }

    std::optional<std::string> expected = LookupIni(lines, chosen.Section, chosen.Key);
    std::string want = oddSize == 0 ? "" : expected.value_or(Missing).substr(0, oddSize - 1);
    std::string got = functions.ReadString(chosen.Section, chosen.Key, Missing, oddSize, path);
    if (got != want)
        return "read with size " + std::to_string(oddSize) + " gave " + Shown(got) + ", expected "
               + Shown(want);
    return {};
}

std::string CheckLinesAfterWrite(const std::vector<TIniLine>& before,
                                 const std::vector<TIniLine>& after, const TWriteCase& chosen)
{
    std::string keyLine = IniTrim(chosen.Key) + "=" + chosen.Value;

    if (std::optional<std::size_t> at = FindIniKey(before, chosen.Section, chosen.Key)) {
        if (after.size() != before.size())
            return "replacing a value changed the line count from " + std::to_string(before.size())
                   + " to " + std::to_string(after.size());
        for (std::size_t i = 0; i < before.size(); ++i) {
            if (i == *at) continue;
            if (!SameLine(before[i], after[i])) return LineNote(i, before, after);
        }
        std::size_t kept = before[*at].ValueFrom;
        if (chosen.Value.empty() || chosen.Value.front() == ' ' || chosen.Value.front() == '\t')
            kept = before[*at].Text.find('=') + 1;
        std::string replaced = before[*at].Text.substr(0, kept) + chosen.Value;
        if (after[*at].Text != replaced || after[*at].Ending != before[*at].Ending)
            return "the replaced " + LineNote(*at, before, after) + ", expected " + Shown(replaced);
        return {};
    }

    if (std::optional<TIniBlock> block = FindIniBlock(before, chosen.Section)) {
        if (after.size() != before.size() + 1)
            return "adding a key changed the line count from " + std::to_string(before.size())
                   + " to " + std::to_string(after.size());
        std::size_t same = 0;
        while (same < before.size() && SameLine(before[same], after[same])) ++same;
        std::size_t added = same;
        if (same + 1 == before.size() && SameOrEnded(before[same], after[same], true)) added = same + 1;
        if (added <= block->Header || added > block->End)
            return "the key was added as line " + std::to_string(added + 1)
                   + ", outside its section (lines " + std::to_string(block->Header + 1) + " to "
                   + std::to_string(block->End) + ")";
        if (after[added].Text != keyLine || !GoodEnding(after[added].Ending))
            return "the added line is " + Shown(after[added].Text + after[added].Ending)
                   + ", expected " + Shown(keyLine);
        for (std::size_t i = added; i < before.size(); ++i)
            if (!SameLine(before[i], after[i + 1]))
                return "after the added key, " + LineNote(i, before, i + 1, after);
        return {};
    }

    for (std::size_t i = 0; i < before.size(); ++i) {
        if (i >= after.size() || !SameOrEnded(before[i], after[i], i + 1 == before.size()))
            return "adding a section: " + LineNote(i, before, after);
    }
    std::size_t next = before.size();
    while (next < after.size() && next < before.size() + 2 && after[next].Text.empty()
           && GoodEnding(after[next].Ending))
        ++next;
    std::string header = "[" + IniTrim(chosen.Section) + "]";
    if (next + 2 != after.size() || after[next].Text != header || !GoodEnding(after[next].Ending)
        || after[next + 1].Text != keyLine || !GoodEnding(after[next + 1].Ending)) {
        std::string added;
        for (std::size_t i = before.size(); i < after.size(); ++i) added += after[i].Text + after[i].Ending;
        return "the added lines are " + Shown(added) + ", expected " + Shown(header) + " and "
               + Shown(keyLine);
    }
    return {};
}

bool IsWritten(const TIniVisibleKey& k, const TWriteCase& chosen)
{
    return IniNamesEqual(k.Section, IniTrim(chosen.Section)) && IniNamesEqual(k.Key, IniTrim(chosen.Key));
}

std::string CheckKeysAfterWrite(const std::vector<TIniLine>& before,
                                const std::vector<TIniLine>& after, const TWriteCase& chosen)
{
    std::optional<std::string> written = LookupIni(after, chosen.Section, chosen.Key);
    std::string want = IniValueOf(chosen.Value);
    if (written != want)
        return "the written key reads back as " + (written ? Shown(*written) : "nothing")
               + ", expected " + Shown(want);

    std::vector<TIniVisibleKey> old = VisibleIniKeys(before);
    std::vector<TIniVisibleKey> now = VisibleIniKeys(after);
    auto find = [](const std::vector<TIniVisibleKey>& keys, const TIniVisibleKey& k) {
        for (const TIniVisibleKey& other : keys)
            if (IniNamesEqual(other.Section, k.Section) && IniNamesEqual(other.Key, k.Key)) return &other;
        return static_cast<const TIniVisibleKey*>(nullptr);
    };
    for (const TIniVisibleKey& k : old) {
        if (IsWritten(k, chosen)) continue;
        const TIniVisibleKey* same = find(now, k);
        if (!same) return "[" + Shown(k.Section) + "] " + Shown(k.Key) + " vanished with the write";
        if (same->Value != k.Value)
            return "[" + Shown(k.Section) + "] " + Shown(k.Key) + " changed from " + Shown(k.Value)
                   + " to " + Shown(same->Value);
    }
    for (const TIniVisibleKey& k : now)
        if (!IsWritten(k, chosen) && !find(old, k))
            return "[" + Shown(k.Section) + "] " + Shown(k.Key) + " appeared with the write";
    return {};
}

} // namespace

TProfileFunctions PlatformProfileFunctions()
{
    return {&win::GetPrivateProfileString, &win::GetPrivateProfileInt, &win::WritePrivateProfileString};
}

std::string CheckProfileCase(const std::uint8_t* data, std::size_t size,
                             const TProfileFunctions& functions, const std::string& path)
{
    TFuzzInput in(data, size);
    unsigned mode = in.Byte() % 4;
    unsigned pick = in.Byte();
    win::DWORD oddSize = in.Byte();
    TWriteCase chosen;
    chosen.Value = in.Text(in.Flag() ? 2600 : 32);
    std::string sectionText = in.Text(24);
    std::string keyText = in.Text(24);
    std::string content(in.Rest());
    // A UTF-16 byte order mark makes the file text of another coding, which
    // the yardstick does not read: the case keeps its other bytes.
    if (content.starts_with("\xFF\xFE") || content.starts_with("\xFE\xFF")) content[0] = ';';

    Store(path, content);
    std::vector<TIniLine> lines = ParseIni(content);
    std::vector<TIniVisibleKey> visible = VisibleIniKeys(lines);
    std::vector<std::string> sections;
    for (const TIniLine& line : lines)
        if (line.Kind == TIniLineKind::ikSection) sections.push_back(line.Name);

    chosen.Section = sectionText;
    chosen.Key = keyText;
    if ((mode == 0 || mode == 3) && !visible.empty()) {
        const TIniVisibleKey& k = visible[pick % visible.size()];
        chosen.Section = mode == 0 ? k.Section : Varied(k.Section, pick);
        chosen.Key = mode == 0 ? k.Key : Varied(k.Key, pick >> 1);
    } else if (mode == 1 && !sections.empty()) {
        chosen.Section = sections[pick % sections.size()];
    }

    if (std::string finding = CheckReads(functions, path, lines, chosen, oddSize); !finding.empty())
        return finding;

    std::string what = "write of [" + Shown(chosen.Section) + "] " + Shown(chosen.Key) + " = "
                       + Shown(chosen.Value) + ": ";
    bool writable = IniSectionWritable(chosen.Section) && IniKeyWritable(chosen.Key)
                    && IniValueWritable(chosen.Value);
    win::SetLastError(0);
    win::BOOL ok = functions.Write(chosen.Section, chosen.Key, chosen.Value, path);
    win::DWORD error = win::GetLastError();
    std::string afterContent = Load(path);

    if (!ok) {
        if (writable) return what + "failed with error " + std::to_string(error);
        if (error != win::ERROR_INVALID_PARAMETER)
            return what + "refused with error " + std::to_string(error) + ", expected 87";
        if (afterContent != content) return what + "refused, yet the file changed";
        return {};
    }
    if (!writable) return what + "accepted, though a reader cannot find it again";

    std::vector<TIniLine> after = ParseIni(afterContent);
    if (std::string finding = CheckLinesAfterWrite(lines, after, chosen); !finding.empty())
        return what + finding;
    if (std::string finding = CheckKeysAfterWrite(lines, after, chosen); !finding.empty())
        return what + finding;

    std::string readBack = functions.ReadString(chosen.Section, chosen.Key, Missing, ProgramReadSize, path);
    std::string want = IniValueOf(chosen.Value).substr(0, ProgramReadSize - 1);
    if (readBack != want) return what + "read back as " + Shown(readBack) + ", expected " + Shown(want);
    return {};
}

} // namespace kivo::fuzz
