// The data-trigger check: the dispatcher's matcher agrees with the plain look
// everywhere on a small alphabet, and faulty matchers are caught.

#include "fuzz/trigger_match_check.h"

#include "serial/dispatch/detail/matcher.h"
#include "tests/fuzz/fuzz_cases.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

using namespace kivo;
using namespace kivo::fuzz;
using kivo::fuzz::test::Bytes;
using kivo::fuzz::test::TriggerCase;

namespace {

constexpr unsigned IgnoreCase = 1;
unsigned Letters(unsigned n) { return n << 1; }
unsigned Triggers(unsigned n) { return (n - 1) << 4; }

std::string Check(const std::string& input, TMatchByte matcher = DispatcherMatchByte())
{
    return CheckTriggerMatchCase(Bytes(input), input.size(), matcher);
}

// A match frees only its own slot, so the partial matches begun before it,
// and one the matching byte starts, go on: occurrences overlap.
bool FindingOverlaps(TDataTrigger& t, std::uint8_t byte)
{
    if (t.IgnoreCase) byte = CodePageUpper(byte);
    std::array<std::int32_t, MaxPatternLength> next{};
    std::size_t used = 0;
    bool arrived = false;
    for (int i = 0; i < t.Length; ++i) {
        std::int32_t k = t.Slots[static_cast<std::size_t>(i)];
        if (k == 0 || t.Pattern[static_cast<std::size_t>(k)] != byte) continue;
        if (k + 1 == t.Length) arrived = true;
        else next[used++] = k + 1;
    }
    if (t.Pattern[0] == byte) {
        if (t.Length == 1) arrived = true;
        else next[used++] = 1;
    }
    t.Slots = next;
    return arrived;
}

bool CaseBlind(TDataTrigger& t, std::uint8_t byte)
{
    TDataTrigger exact = t;
    exact.IgnoreCase = false;
    bool arrived = detail::MatchByte(exact, byte);
    t.Slots = exact.Slots;
    return arrived;
}

// Keeps a single partial match, as a naive matcher would.
bool OnePartialMatch(TDataTrigger& t, std::uint8_t byte)
{
    if (t.IgnoreCase) byte = CodePageUpper(byte);
    std::int32_t& k = t.Slots[0];
    if (t.Pattern[static_cast<std::size_t>(k)] == byte) ++k;
    else k = t.Pattern[0] == byte ? 1 : 0;
    if (k < t.Length) return false;
    k = 0;
    return true;
}

} // namespace

TEST(TriggerMatchCheck, MatcherFindsEveryOccurrenceWithoutOverlapOfEveryShortPatternOverTwoLetters)
{
    // Letter indexes, as the check maps them: 0 is A, 1 is B.
    for (unsigned length = 1; length <= 5; ++length) {
        for (unsigned bits = 0; bits < (1u << length); ++bits) {
            std::string pattern;
            for (unsigned i = 0; i < length; ++i) pattern += static_cast<char>((bits >> i) & 1);
            for (unsigned streamLength = 1; streamLength <= 8; ++streamLength) {
                for (unsigned s = 0; s < (1u << streamLength); ++s) {
                    std::string stream;
                    for (unsigned i = 0; i < streamLength; ++i) stream += static_cast<char>((s >> i) & 1);
                    std::string finding = Check(TriggerCase(Letters(2), {pattern}, stream));
                    ASSERT_EQ(finding, "");
                }
            }
        }
    }
}

TEST(TriggerMatchCheck, MatcherPassesRepeatsCaseAndTheLongestPattern)
{
    EXPECT_EQ(Check(TriggerCase(Letters(1), {std::string(2, 0)}, std::string(9, 0))), "");
    EXPECT_EQ(Check(TriggerCase(Letters(1), {std::string(22, 0)}, std::string(70, 0))), "");
    EXPECT_EQ(Check(TriggerCase(IgnoreCase | Triggers(3), {"@ALIVE-", "*", "E-1"},
                                "x@alive-1*@ALIVE-*@Alive-e-1")),
              "");
    EXPECT_EQ(Check(TriggerCase(IgnoreCase, {"\xC9T\x8A\x9F"}, "\xE9t\x9A\xFF\xC9T\x8A\x9F")), "");
}

TEST(TriggerMatchCheck, FaultyMatchersAreCaught)
{
    std::string repeats = TriggerCase(Letters(1), {std::string(2, 0)}, std::string(4, 0));
    EXPECT_NE(Check(repeats, &FindingOverlaps).find("matched falsely at byte 3"), std::string::npos);
    std::string aba = TriggerCase(Letters(2), {std::string{0, 1, 0}}, std::string{0, 1, 0, 1, 0});
    EXPECT_NE(Check(aba, &FindingOverlaps).find("matched falsely at byte 5"), std::string::npos);

    std::string mixedCase = TriggerCase(IgnoreCase | Letters(2), {std::string{0, 1}}, "\x80\x81");
    EXPECT_NE(Check(mixedCase, &CaseBlind).find("missed the match ending at byte 2"), std::string::npos);

    std::string restart = TriggerCase(Letters(2), {std::string{0, 0, 1}}, std::string{0, 0, 0, 1});
    EXPECT_NE(Check(restart, &OnePartialMatch).find("missed the match ending at byte 4"),
              std::string::npos);

    std::string latin = TriggerCase(IgnoreCase, {"\xC9"}, "\xE9");
    EXPECT_NE(Check(latin, &CaseBlind).find("missed the match ending at byte 1"), std::string::npos);
}
