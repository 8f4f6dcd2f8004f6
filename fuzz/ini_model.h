#pragma once
// A small, separately written reader of the settings-file rules, used as the
// yardstick for the platform's profile functions: the file is split into
// lines, each line classified once, and look-ups walk the classified lines.
// It never writes; the checks compare what a write did against it.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::fuzz {

enum class TIniLineKind { ikOther, ikSection, ikKey };

struct TIniLine {
    std::string Text;    // without its line end
    std::string Ending;  // "\n", "\r\n", or "" on a last line without one
    TIniLineKind Kind = TIniLineKind::ikOther;
    std::string Name;          // section or key name, blanks trimmed
    std::size_t ValueFrom = 0;  // key lines: where the raw value starts in Text
};

// A key as a reader finds it: the first section of its name, the first key
// of its name in that section.
struct TIniVisibleKey {
    std::string Section;
    std::string Key;
    std::string Value;
    std::size_t Line = 0;
};

std::vector<TIniLine> ParseIni(std::string_view content);

bool IniNamesEqual(std::string_view a, std::string_view b);
std::string IniTrim(std::string_view text);

// The value a reader returns for the raw text after "=": blanks trimmed, one
// pair of enclosing double quotes removed.
std::string IniValueOf(std::string_view raw);

// The line of the first section block named section: [first, end).
struct TIniBlock {
    std::size_t Header = 0;
    std::size_t End = 0;
};
std::optional<TIniBlock> FindIniBlock(const std::vector<TIniLine>& lines, std::string_view section);

std::optional<std::size_t> FindIniKey(const std::vector<TIniLine>& lines, std::string_view section,
                                      std::string_view key);
std::optional<std::string> LookupIni(const std::vector<TIniLine>& lines, std::string_view section,
                                     std::string_view key);

std::vector<TIniVisibleKey> VisibleIniKeys(const std::vector<TIniLine>& lines);

// The integer rule: optional sign, decimal digits, or one of "$", "x", "X",
// "0x", "0X" and hexadecimal digits, within 32 bits (hexadecimal as a bit
// pattern, so $FFFFFFFF is -1).
std::optional<int> ParseIniInt(std::string_view text);

// Whether a name and value can be written so that a reader finds exactly
// them again and no other line changes meaning.
bool IniSectionWritable(std::string_view section);
bool IniKeyWritable(std::string_view key);
bool IniValueWritable(std::string_view value);

} // namespace kivo::fuzz
