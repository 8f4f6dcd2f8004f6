// The yardstick reader: one pass that splits and classifies, look-ups that
// walk the result.

#include "fuzz/ini_model.h"

#include <cstdint>

namespace kivo::fuzz {

namespace {

const std::string_view ByteOrderMark = "\xEF\xBB\xBF";

bool Blank(char c)
{
    return c == ' ' || c == '\t';
}

char Folded(char c)
{
    if ('A' <= c && c <= 'Z') return static_cast<char>(c + ('a' - 'A'));
    return c;
}

void Classify(TIniLine& line, std::size_t skip)
{
    std::string_view text = std::string_view(line.Text).substr(skip);
    std::string trimmed = IniTrim(text);
    if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#') return;
    if (trimmed[0] == '[') {
        std::size_t close = trimmed.find(']');
        if (close == std::string::npos) return;
        line.Kind = TIniLineKind::ikSection;
        line.Name = IniTrim(std::string_view(trimmed).substr(1, close - 1));
        return;
    }
    std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) return;
    std::string name = IniTrim(text.substr(0, equals));
    if (name.empty()) return;
    line.Kind = TIniLineKind::ikKey;
    line.Name = name;
    std::size_t from = equals + 1;
    while (from < text.size() && Blank(text[from])) from++;
    line.ValueFrom = skip + from;
}

int HexDigit(char c)
{
    if ('0' <= c && c <= '9') return c - '0';
    if ('a' <= c && c <= 'f') return 10 + c - 'a';
    if ('A' <= c && c <= 'F') return 10 + c - 'A';
    return -1;
}

} // namespace

std::string IniTrim(std::string_view text)
{
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && Blank(text[first])) first++;
    while (last > first && Blank(text[last - 1])) last--;
    return std::string(text.substr(first, last - first));
}

bool IniNamesEqual(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i != a.size(); i++)
        if (Folded(a[i]) != Folded(b[i])) return false;
    return true;
}

std::string IniValueOf(std::string_view raw)
{
    std::string value = IniTrim(raw);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    return value;
}

std::vector<TIniLine> ParseIni(std::string_view content)
{
    std::vector<TIniLine> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        TIniLine line;
        std::size_t end = start;
        while (end < content.size() && content[end] != '\n') end++;
        if (end == content.size()) {
            line.Text = std::string(content.substr(start));
        } else {
            std::size_t textEnd = end;
            if (textEnd > start && content[textEnd - 1] == '\r') textEnd--;
            line.Text = std::string(content.substr(start, textEnd - start));
            line.Ending = std::string(content.substr(textEnd, end + 1 - textEnd));
        }
        std::size_t skip = lines.empty() && line.Text.starts_with(ByteOrderMark) ? 3 : 0;
        Classify(line, skip);
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

std::optional<TIniBlock> FindIniBlock(const std::vector<TIniLine>& lines, std::string_view section)
{
    std::string wanted = IniTrim(section);
    for (std::size_t i = 0; i < lines.size(); i++) {
        if (lines[i].Kind != TIniLineKind::ikSection || !IniNamesEqual(lines[i].Name, wanted))
            continue;
        TIniBlock block{i, i + 1};
        while (block.End < lines.size() && lines[block.End].Kind != TIniLineKind::ikSection)
            block.End++;
        return block;
    }
    return std::nullopt;
}

std::optional<std::size_t> FindIniKey(const std::vector<TIniLine>& lines, std::string_view section,
                                      std::string_view key)
{
    std::optional<TIniBlock> block = FindIniBlock(lines, section);
    if (!block) return std::nullopt;
    std::string wanted = IniTrim(key);
    for (std::size_t i = block->Header + 1; i < block->End; i++)
        if (lines[i].Kind == TIniLineKind::ikKey && IniNamesEqual(lines[i].Name, wanted)) return i;
    return std::nullopt;
}

std::optional<std::string> LookupIni(const std::vector<TIniLine>& lines, std::string_view section,
                                     std::string_view key)
{
    std::optional<std::size_t> at = FindIniKey(lines, section, key);
    if (!at) return std::nullopt;
    const TIniLine& line = lines[*at];
    return IniValueOf(std::string_view(line.Text).substr(line.ValueFrom));
}

std::vector<TIniVisibleKey> VisibleIniKeys(const std::vector<TIniLine>& lines)
{
    std::vector<TIniVisibleKey> keys;
    const TIniLine* section = nullptr;
    bool firstOfName = false;
    for (std::size_t i = 0; i < lines.size(); i++) {
        const TIniLine& line = lines[i];
        if (line.Kind == TIniLineKind::ikSection) {
            section = &line;
            std::optional<TIniBlock> block = FindIniBlock(lines, line.Name);
            firstOfName = block && block->Header == i;
            continue;
        }
        if (line.Kind != TIniLineKind::ikKey || section == nullptr || !firstOfName) continue;
        bool seen = false;
        for (const TIniVisibleKey& k : keys)
            seen = seen || (IniNamesEqual(k.Section, section->Name) && IniNamesEqual(k.Key, line.Name));
        if (seen) continue;
        keys.push_back({section->Name, line.Name,
                        IniValueOf(std::string_view(line.Text).substr(line.ValueFrom)), i});
    }
    return keys;
}

std::optional<int> ParseIniInt(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text = text.substr(1);
    }
    bool hex = false;
    for (std::string_view prefix : {"0x", "0X", "$", "x", "X"}) {
        if (text.starts_with(prefix)) {
            hex = true;
            text = text.substr(prefix.size());
            break;
        }
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t magnitude = 0;
    for (char c : text) {
        int digit = HexDigit(c);
        if (digit < 0 || (!hex && digit > 9)) return std::nullopt;
        magnitude = magnitude * (hex ? 16 : 10) + static_cast<unsigned>(digit);
        if (magnitude > 0xFFFFFFFFu) return std::nullopt;
    }
    if (hex) {
        std::uint32_t bits = static_cast<std::uint32_t>(magnitude);
        if (negative) bits = ~bits + 1;
        return static_cast<int>(static_cast<std::int32_t>(bits));
    }
    std::int64_t value = negative ? -static_cast<std::int64_t>(magnitude)
                                  : static_cast<std::int64_t>(magnitude);
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int>(value);
}

bool IniValueWritable(std::string_view value)
{
    return value.find_first_of("\r\n") == std::string_view::npos;
}

bool IniSectionWritable(std::string_view section)
{
    return !IniTrim(section).empty() && section.find_first_of("\r\n]") == std::string_view::npos;
}

bool IniKeyWritable(std::string_view key)
{
    // A key line that begins like a comment or a section header would not be
    // read back as a key, and one that looks like a header starts a section.
    std::string name = IniTrim(key);
    return !name.empty() && key.find_first_of("\r\n=") == std::string_view::npos && name[0] != ';'
           && name[0] != '#' && name[0] != '[';
}

} // namespace kivo::fuzz
