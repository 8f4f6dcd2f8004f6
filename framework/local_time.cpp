// The system clock, the settable clock and the clock in force.

#include "framework/local_time.h"

#include <atomic>
#include <chrono>
#include <ctime>

namespace kivo {

namespace {

const TSystemClock SystemClock;
std::atomic<const TClockSource*> Current{&SystemClock};

} // namespace

TLocalDateTime TSystemClock::Now() const
{
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    auto milliseconds = duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm local{};
    // localtime_r alone keeps the zone it first found: a zone changed while
    // the program runs (the system's setting, or TZ) would never count.
    tzset();
    localtime_r(&seconds, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
            local.tm_min,         local.tm_sec,     static_cast<int>(milliseconds.count())};
}

TLocalDateTime AddMilliseconds(const TLocalDateTime& time, std::int64_t milliseconds)
{
    using namespace std::chrono;
    // A zone-free time line: the fixed clock has no daylight-saving jumps,
    // which is what tests want, and wall-clock readings compare as read.
    sys_days day = year_month_day{year{time.Year}, month{static_cast<unsigned>(time.Month)},
                                  std::chrono::day{static_cast<unsigned>(time.Day)}};
    sys_time<std::chrono::milliseconds> t = day + hours{time.Hour} + minutes{time.Minute} +
                                            seconds{time.Second} +
                                            std::chrono::milliseconds{time.Millisecond};
    t += std::chrono::milliseconds{milliseconds};
    sys_days newDay = floor<days>(t);
    year_month_day ymd{newDay};
    hh_mm_ss clock{t - newDay};
    return {static_cast<int>(ymd.year()),
            static_cast<int>(static_cast<unsigned>(ymd.month())),
            static_cast<int>(static_cast<unsigned>(ymd.day())),
            static_cast<int>(clock.hours().count()),
            static_cast<int>(clock.minutes().count()),
            static_cast<int>(clock.seconds().count()),
            static_cast<int>(clock.subseconds().count())};
}

TLocalDateTime LocalNow()
{
    return Current.load()->Now();
}

TClockScope::TClockScope(const TClockSource& clock) : Previous(Current.exchange(&clock)) {}

TClockScope::~TClockScope()
{
    Current.store(Previous);
}

} // namespace kivo
