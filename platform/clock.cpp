// The millisecond clock over the monotonic clock, and tick arithmetic.

#include "platform/clock.h"

#include <atomic>
#include <chrono>

namespace kivo::win {

namespace {
std::atomic<DWORD> TimeOffset{0};
}

DWORD timeGetTime()
{
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    // Truncation is the point: the count wraps like the original's.
    return static_cast<DWORD>(static_cast<unsigned long long>(milliseconds))
           + TimeOffset.load(std::memory_order_relaxed);
}

void SetTimeOffsetForTesting(DWORD offset)
{
    TimeOffset.store(offset, std::memory_order_relaxed);
}

UINT timeGetDevCaps(TIMECAPS* caps, UINT size)
{
    if (caps == nullptr || size < sizeof(TIMECAPS)) return 97;  // TIMERR_STRUCT
    caps->wPeriodMin = 1;
    caps->wPeriodMax = 1000000;
    return TIMERR_NOERROR;
}

DWORD CurrentTick()
{
    return timeGetTime() / MillisecondsPerTick;
}

DWORD TicksBetween(DWORD fromTick, DWORD toTick)
{
    return toTick >= fromTick ? toTick - fromTick : TickRange - fromTick + toTick;
}

TTickTimer StartTickTimer(DWORD nowTick, LONG ticks)
{
    DWORD span = ticks <= 0 ? 0 : static_cast<DWORD>(ticks);
    if (span > MaxTickSpan) span = MaxTickSpan;
    TTickTimer timer;
    timer.StartTick = nowTick % TickRange;
    // Kept inside the tick range: an expiry past the last tick value would
    // never be reached before the wrap and be weeks late after it.
    timer.ExpiryTick = static_cast<DWORD>((std::uint64_t{timer.StartTick} + span) % TickRange);
    return timer;
}

bool TickTimerExpired(const TTickTimer& timer, DWORD nowTick)
{
    return TicksBetween(timer.StartTick, nowTick % TickRange)
           > TicksBetween(timer.StartTick, timer.ExpiryTick);
}

} // namespace kivo::win
