// The compiled-in message table, its shape checked at compile time, and the
// lookup with its fallback on the system's texts.

#include "serial/errors/message_table.h"

#include "platform/sysmsg.h"
#include "serial/errors/detail/system_text.h"

#include <array>
#include <cstdint>
#include <cstdlib>

namespace kivo {

namespace {

constexpr std::array<MessageLookupEntry, 897> Table{{
#include "serial/errors/detail/messages_status.inc"
#include "serial/errors/detail/messages_errors.inc"
#include "serial/errors/detail/messages_log.inc"
}};

constexpr std::size_t MaxTextLength = 255;

constexpr int Magnitude(int code)
{
    return code < 0 ? -code : code;
}

// A short initializer would leave zero entries at the end; they would break
// the order check below, so the size and the order together pin the count.
constexpr bool StrictlyAscending()
{
    for (std::size_t i = 1; i < Table.size(); ++i)
        if (Magnitude(Table[i - 1].Code) >= Magnitude(Table[i].Code)) return false;
    return true;
}

constexpr bool TextsFit()
{
    for (const MessageLookupEntry& entry : Table)
        if (entry.Text.size() > MaxTextLength) return false;
    return true;
}

static_assert(Table.size() == 897, "the message table has 897 entries");
static_assert(StrictlyAscending(), "message table out of order or with a repeated code");
static_assert(TextsFit(), "a message table text is longer than 255 characters");

// Binary search with the middle rounded half to even, so the entries probed
// are the ones the table has always been searched by.
const MessageLookupEntry* Find(int magnitude) noexcept
{
    int lower = 0;
    int upper = static_cast<int>(Table.size()) - 1;
    while (lower <= upper) {
        int sum = lower + upper;
        int middle = sum / 2;
        if (sum % 2 != 0 && middle % 2 != 0) ++middle;
        int probe = Magnitude(Table[static_cast<std::size_t>(middle)].Code);
        if (magnitude == probe) return &Table[static_cast<std::size_t>(middle)];
        if (magnitude < probe)
            upper = middle - 1;
        else
            lower = middle + 1;
    }
    return nullptr;
}

} // namespace

std::span<const MessageLookupEntry> MessageTable() noexcept
{
    return Table;
}

std::string_view MessageTableText(int code) noexcept
{
    // Widened first: the magnitude of INT_MIN does not fit an int.
    std::int64_t magnitude = std::llabs(static_cast<std::int64_t>(code));
    if (magnitude > Magnitude(Table.back().Code)) return {};
    const MessageLookupEntry* entry = Find(static_cast<int>(magnitude));
    return entry ? entry->Text : std::string_view{};
}

std::string ErrorMessageText(int code)
{
    return detail::LookupMessageText(code, &win::FormatMessage);
}

namespace detail {

std::string LookupMessageText(int code, SystemTextSource source)
{
    auto low = static_cast<std::int16_t>(static_cast<std::uint32_t>(code) & 0xFFFFu);
    int magnitude = Magnitude(low);
    if (const MessageLookupEntry* entry = Find(magnitude); entry && !entry->Text.empty())
        return std::string(entry->Text.substr(0, MaxTextLength));
    return TidySystemText(source(static_cast<std::uint32_t>(magnitude)));
}

std::string TidySystemText(std::string text)
{
    if (text.size() > MaxTextLength) text.resize(MaxTextLength);
    std::size_t kept = 0;
    for (char c : text) {
        // Unsigned, so bytes above 0x7F stay text and are not taken for controls.
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
        if (c == ' ' && kept > 0 && text[kept - 1] == ' ') continue;
        text[kept++] = c;
    }
    text.resize(kept);
    return text;
}

} // namespace detail

} // namespace kivo
