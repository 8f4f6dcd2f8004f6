// Frames, the status packet check and the clock texts.

#include "app/board_link.h"

#include "app/code_page.h"

#include <cstdio>

namespace tarvio {

namespace {

constexpr std::string_view AliveTag = "@ALIVE-";
constexpr std::size_t StatusPacketLength = 51;
constexpr std::size_t FirstPricePosition = 7;  // 0-based; every 5 after it
constexpr std::size_t StatusPosition = 47;

std::string TwoDigits(int value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

} // namespace

std::string PriceFrame(const TRowTexts& prices)
{
    std::string frame = "@";
    for (const std::string& price : prices) frame += Windows1252FromUtf8(price);
    frame += '*';
    return frame;
}

std::string TestFrame(const std::string& counterText)
{
    std::string frame = "@";
    for (int row = 0; row < RowCount; ++row) frame += counterText;
    frame += '*';
    return frame;
}

int NextTestCounter(int counter)
{
    ++counter;
    return counter > 9999 ? 0 : counter;
}

std::string TestCounterText(int counter)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04d", counter);
    return text;
}

std::optional<TStatusReport> CheckStatusPacket(const std::string& packet)
{
    if (packet.compare(0, AliveTag.size(), AliveTag) != 0) return std::nullopt;
    if (packet.size() < StatusPacketLength || packet[StatusPacketLength - 1] != '*')
        return std::nullopt;
    TStatusReport report;
    for (int row = 0; row < RowCount; ++row)
        report.Prices[row] = Utf8FromWindows1252(packet.substr(FirstPricePosition + 5 * row, 4));
    report.Status = Utf8FromWindows1252(packet.substr(StatusPosition, 3));
    return report;
}

std::string FormatCommunicationTime(const kivo::TLocalDateTime& time)
{
    char date[32];
    std::snprintf(date, sizeof date, "%02d-%02d-%04d ", time.Month, time.Day, time.Year);
    return date + FormatClock(time);
}

std::string FormatClock(const kivo::TLocalDateTime& time)
{
    return TwoDigits(time.Hour) + TimeSeparator + TwoDigits(time.Minute) + TimeSeparator +
           TwoDigits(time.Second);
}

std::string ScheduleTarget(const std::string& hourText, const std::string& minuteText)
{
    return hourText + ":" + minuteText + ":00";
}

bool ScheduleTimePassed(int hour, int minute, const kivo::TLocalDateTime& since,
                        const kivo::TLocalDateTime& now)
{
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59) return false;
    kivo::TLocalDateTime next{since.Year, since.Month, since.Day, hour, minute, 0, 0};
    if (next <= since) next = kivo::AddMilliseconds(next, 24 * 60 * 60 * 1000);
    return next <= now;
}

} // namespace tarvio
