#pragma once
// What goes over the line to the sign and back: the price frame, the test
// frame, the check of the sign's status packet, and the clock texts the
// window shows beside them.

#include "app/board_settings.h"
#include "framework/local_time.h"

#include <optional>
#include <string>

namespace tarvio {

// "@", the eight price texts as they are, one Windows-1252 byte per
// character, "*".
std::string PriceFrame(const TRowTexts& prices);
// "@", the counter text eight times, "*".
std::string TestFrame(const std::string& counterText);

// The test counter after one tick: 9999 wraps to 0.
int NextTestCounter(int counter);
// At least four digits, leading zeros.
std::string TestCounterText(int counter);

// What a packet that passes the check carries, read as Windows-1252.
struct TStatusReport {
    TRowTexts Prices;
    std::string Status;
};

// "@ALIVE-" at 1-7 and "*" at 51 exactly, letter case included; the
// separators between the prices are not examined.
std::optional<TStatusReport> CheckStatusPacket(const std::string& packet);

// The time separator of this program's clock texts.
inline constexpr char TimeSeparator = ':';

// "mm-dd-yyyy hh:mm:ss".
std::string FormatCommunicationTime(const kivo::TLocalDateTime& time);
// "hh:mm:ss".
std::string FormatClock(const kivo::TLocalDateTime& time);
// The hour text, ":", the minute text, ":00": a literal colon whatever the
// time separator.
std::string ScheduleTarget(const std::string& hourText, const std::string& minuteText);
// Whether hour:minute:00, on any day, lies after since and no later than now
// on the wall clock. False without an hour (0 ... 23) or a minute (0 ... 59).
bool ScheduleTimePassed(int hour, int minute, const kivo::TLocalDateTime& since,
                        const kivo::TLocalDateTime& now);

} // namespace tarvio
