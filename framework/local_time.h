#pragma once
// The local date and time as the program sees it. LocalNow reads the clock in
// force: the system's, or one a test has installed with TClockScope, so that
// anything that depends on the hour can be tested at the hour it cares about.

#include <compare>
#include <cstdint>

namespace kivo {

struct TLocalDateTime {
    int Year = 1970;
    int Month = 1;  // 1 ... 12
    int Day = 1;    // 1 ... 31
    int Hour = 0;   // 0 ... 23
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;

    friend auto operator<=>(const TLocalDateTime&, const TLocalDateTime&) = default;
};

// The time the given milliseconds later (earlier when negative) on the
// calendar, with no daylight-saving jumps.
TLocalDateTime AddMilliseconds(const TLocalDateTime& time, std::int64_t milliseconds);

class TClockSource {
public:
    virtual ~TClockSource() = default;
    virtual TLocalDateTime Now() const = 0;
};

// The operating system's wall clock in the local time zone.
class TSystemClock final : public TClockSource {
public:
    TLocalDateTime Now() const override;
};

// Stands still at the time it was given until it is set or advanced.
// Advancing carries over minutes, hours, days, months and years.
class TFixedClock final : public TClockSource {
public:
    explicit TFixedClock(const TLocalDateTime& start) : Current(start) {}

    TLocalDateTime Now() const override { return Current; }
    void Set(const TLocalDateTime& value) { Current = value; }
    void AdvanceMilliseconds(std::int64_t milliseconds)
    {
        Current = AddMilliseconds(Current, milliseconds);
    }
    void AdvanceSeconds(std::int64_t seconds) { AdvanceMilliseconds(seconds * 1000); }

private:
    TLocalDateTime Current;
};

TLocalDateTime LocalNow();

// Installs a clock for its lifetime and puts the previous one back.
class TClockScope {
public:
    explicit TClockScope(const TClockSource& clock);
    ~TClockScope();

    TClockScope(const TClockScope&) = delete;
    TClockScope& operator=(const TClockScope&) = delete;

private:
    const TClockSource* Previous;
};

} // namespace kivo
