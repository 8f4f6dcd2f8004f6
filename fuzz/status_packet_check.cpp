// The status packet case: the packet rule by its numbered positions.

#include "fuzz/status_packet_check.h"

#include "fuzz/shown.h"

#include "app/code_page.h"

#include <array>

namespace kivo::fuzz {

namespace {

// 1-based, as the sign's documentation numbers them.
constexpr std::array<std::size_t, tarvio::RowCount> PricePositions{8, 13, 18, 23, 28, 33, 38, 43};
constexpr std::size_t StatusPosition = 48;
constexpr std::size_t EndPosition = 51;

// The characters from position first to last, those that exist.
std::string Positions(const std::string& text, std::size_t first, std::size_t last)
{
    std::string piece;
    for (std::size_t p = first; p <= last && p <= text.size(); ++p) piece += text[p - 1];
    return piece;
}

// The sign's bytes are Windows-1252: what the window shows must be UTF-8
// that goes back to exactly those bytes.
bool ShowsBytes(const std::string& shown, const std::string& bytes)
{
    return tarvio::IsUtf8(shown) && tarvio::Windows1252FromUtf8(shown) == bytes;
}

} // namespace

std::string CheckStatusPacketCase(const std::uint8_t* data, std::size_t size, TStatusPacketCheck check)
{
    std::string packet(reinterpret_cast<const char*>(data), data ? size : 0);
    bool valid = Positions(packet, 1, 7) == "@ALIVE-" && Positions(packet, EndPosition, EndPosition) == "*";
    std::optional<tarvio::TStatusReport> report = check(packet);
    std::string what = "packet " + Shown(packet, 120) + ": ";
    if (report.has_value() != valid)
        return what + (valid ? "refused, though it is valid" : "accepted, though it is not valid");
    if (!valid) return {};
    for (int row = 0; row < tarvio::RowCount; ++row) {
        std::size_t at = PricePositions[static_cast<std::size_t>(row)];
        std::string want = Positions(packet, at, at + 3);
        if (!ShowsBytes(report->Prices[static_cast<std::size_t>(row)], want))
            return what + "price " + std::to_string(row + 1) + " is "
                   + Shown(report->Prices[static_cast<std::size_t>(row)]) + ", expected " + Shown(want);
    }
    std::string status = Positions(packet, StatusPosition, StatusPosition + 2);
    if (!ShowsBytes(report->Status, status))
        return what + "status is " + Shown(report->Status) + ", expected " + Shown(status);
    return {};
}

} // namespace kivo::fuzz
