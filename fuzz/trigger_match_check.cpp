// The data-trigger case: decode triggers and stream, feed, compare each byte.

#include "fuzz/trigger_match_check.h"

#include "fuzz/fuzz_input.h"
#include "fuzz/shown.h"
#include "serial/dispatch/detail/matcher.h"

#include <array>
#include <string_view>
#include <vector>

namespace kivo::fuzz {

namespace {

// Lower and capital of every letter pair in the code page's upper half.
constexpr std::array<std::pair<std::uint8_t, std::uint8_t>, 3> WesternExtras{{
    {0x9A, 0x8A},  // s caron
    {0x9C, 0x8C},  // oe
    {0x9E, 0x8E},  // z caron
}};

struct TReferenceTrigger {
    std::string Pattern;
    bool IgnoreCase = false;
    std::string Seen;      // the stream as the trigger compares it
    std::size_t From = 0;  // where the search goes on: just after the last match
};

// Occurrences do not overlap: after a match the search begins afresh.
bool Arrived(TReferenceTrigger& reference, std::uint8_t byte)
{
    reference.Seen += static_cast<char>(reference.IgnoreCase ? CodePageUpper(byte) : byte);
    std::string_view unmatched = std::string_view(reference.Seen).substr(reference.From);
    if (!unmatched.ends_with(reference.Pattern)) return false;
    reference.From = reference.Seen.size();
    return true;
}

// Few letters make matches, partial ones above all, frequent; the stream
// also gets their lower case.
std::uint8_t Mapped(std::uint8_t raw, unsigned letters, bool forPattern)
{
    if (letters == 0) return raw;
    auto letter = static_cast<std::uint8_t>('A' + raw % letters);
    if (!forPattern && (raw & 0x80)) letter = static_cast<std::uint8_t>(letter + 32);
    return letter;
}

} // namespace

std::uint8_t CodePageUpper(std::uint8_t c)
{
    if ('a' <= c && c <= 'z') return static_cast<std::uint8_t>(c - 'a' + 'A');
    // Latin-1 letters: a grave .. thorn over A grave .. Thorn, the division
    // sign (0xF7, over the multiplication sign) being no letter.
    if (0xE0 <= c && c <= 0xFE && c != 0xF7) return static_cast<std::uint8_t>(c - 0xE0 + 0xC0);
    if (c == 0xFF) return 0x9F;  // y diaeresis
    for (auto [lower, upper] : WesternExtras)
        if (c == lower) return upper;
    return c;
}

TMatchByte DispatcherMatchByte()
{
    return &detail::MatchByte;
}

std::string CheckTriggerMatchCase(const std::uint8_t* data, std::size_t size, TMatchByte matchByte)
{
    TFuzzInput in(data, size);
    std::uint8_t flags = in.Byte();
    bool ignoreCase = flags & 1;
    unsigned letters = (flags >> 1) & 7;  // 0: any byte; else the first letters of the alphabet
    unsigned count = 1 + (flags >> 4) % 3;

    std::vector<TDataTrigger> triggers(count);
    std::vector<TReferenceTrigger> references(count);
    for (unsigned t = 0; t < count; ++t) {
        int length = static_cast<int>(in.Range(1, MaxPatternLength));
        triggers[t].Length = length;
        triggers[t].IgnoreCase = ignoreCase;
        triggers[t].Handle = 8 * static_cast<int>(t + 1);
        references[t].IgnoreCase = ignoreCase;
        for (int i = 0; i < length; ++i) {
            std::uint8_t b = Mapped(in.Byte(), letters, true);
            triggers[t].Pattern[static_cast<std::size_t>(i)] = b;
            references[t].Pattern += static_cast<char>(b);
        }
    }

    std::string_view stream = in.Rest();
    for (std::size_t p = 0; p < stream.size(); ++p) {
        std::uint8_t byte = Mapped(static_cast<std::uint8_t>(stream[p]), letters, false);
        for (unsigned t = 0; t < count; ++t) {
            bool got = matchByte(triggers[t], byte);
            bool want = Arrived(references[t], byte);
            auto what = [&] {
                return "pattern " + Shown(references[t].Pattern) + (ignoreCase ? " ignoring case" : "")
                       + ", stream as compared " + Shown(references[t].Seen, 200) + ": ";
            };
            if (got != want)
                return what() + (want ? "missed the match ending at byte " : "matched falsely at byte ")
                       + std::to_string(p + 1);
            for (int i = 0; i < triggers[t].Length; ++i) {
                std::int32_t slot = triggers[t].Slots[static_cast<std::size_t>(i)];
                if (slot < 0 || slot >= triggers[t].Length)
                    return what() + "slot " + std::to_string(i) + " holds " + std::to_string(slot);
            }
        }
    }
    return {};
}

} // namespace kivo::fuzz
