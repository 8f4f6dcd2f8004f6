// The settable clock's calendar arithmetic and the clock in force.

#include "framework/local_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace kivo {
namespace {

TEST(TFixedClock, AdvancingCarriesIntoEveryField)
{
    TFixedClock clock({2023, 12, 31, 23, 59, 59, 500});
    clock.AdvanceMilliseconds(500);
    EXPECT_EQ(clock.Now(), (TLocalDateTime{2024, 1, 1, 0, 0, 0, 0}));

    clock.Set({2024, 2, 28, 23, 59, 59, 0});
    clock.AdvanceSeconds(1);
    EXPECT_EQ(clock.Now(), (TLocalDateTime{2024, 2, 29, 0, 0, 0, 0})) << "leap day";

    clock.Set({2023, 2, 28, 23, 59, 59, 0});
    clock.AdvanceSeconds(1);
    EXPECT_EQ(clock.Now(), (TLocalDateTime{2023, 3, 1, 0, 0, 0, 0}));

    clock.Set({2024, 3, 5, 7, 29, 59, 0});
    clock.AdvanceSeconds(86400);
    EXPECT_EQ(clock.Now(), (TLocalDateTime{2024, 3, 6, 7, 29, 59, 0}));
}

TEST(TFixedClock, AdvancingBackwardsBorrows)
{
    TFixedClock clock({2024, 1, 1, 0, 0, 0, 0});
    clock.AdvanceMilliseconds(-1);
    EXPECT_EQ(clock.Now(), (TLocalDateTime{2023, 12, 31, 23, 59, 59, 999}));
}

TEST(ClockScope, InstallsAClockAndPutsTheSystemClockBack)
{
    TFixedClock fixed({2001, 2, 3, 4, 5, 6, 7});
    {
        TClockScope scope(fixed);
        EXPECT_EQ(LocalNow(), fixed.Now());
        fixed.AdvanceSeconds(10);
        EXPECT_EQ(LocalNow().Second, 16);
    }
    EXPECT_GT(LocalNow().Year, 2020);
}

TEST(TSystemClock, ReadsTheLocalWallClock)
{
    auto fields = [](std::time_t t) {
        std::tm local{};
        localtime_r(&t, &local);
        return TLocalDateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                              local.tm_min,         local.tm_sec,     0};
    };
    std::time_t before = std::time(nullptr);
    TLocalDateTime now = TSystemClock().Now();
    std::time_t after = std::time(nullptr);
    EXPECT_GE(now.Millisecond, 0);
    EXPECT_LT(now.Millisecond, 1000);
    now.Millisecond = 0;
    EXPECT_TRUE(now == fields(before) || now == fields(after) ||
                (now > fields(before) && now < fields(after)));
}

TEST(TSystemClock, FollowsAChangeOfTheTimeZoneWhileRunning)
{
    const char* saved = std::getenv("TZ");
    const std::optional<std::string> previous =
        saved ? std::optional<std::string>(saved) : std::nullopt;
    // The local time in zone, and the hours east of UTC it should be at.
    auto readIn = [](const char* zone, int hoursEast) {
        ::setenv("TZ", zone, 1);
        std::time_t before = std::time(nullptr);
        TLocalDateTime now = TSystemClock().Now();
        std::time_t after = std::time(nullptr);
        auto hourAt = [hoursEast](std::time_t t) {
            std::tm utc{};
            gmtime_r(&t, &utc);
            return (utc.tm_hour + hoursEast + 24) % 24;
        };
        return now.Hour == hourAt(before) || now.Hour == hourAt(after);
    };
    bool west = readIn("AAA+4", -4);
    bool east = readIn("BBB-3", 3);
    if (previous) ::setenv("TZ", previous->c_str(), 1);
    else ::unsetenv("TZ");
    tzset();
    EXPECT_TRUE(west);
    EXPECT_TRUE(east) << "the zone in force when the clock was first read stayed";
}

} // namespace
} // namespace kivo
