#pragma once
// The multimedia millisecond clock and the 55 ms ticks built on it. Both are
// 32-bit counts that wrap (the millisecond count after about 49.7 days): code
// compares them through the helpers here, never by plain "<".

#include "platform/win_types.h"

namespace kivo::win {

// Milliseconds of the monotonic clock, truncated to 32 bits.
DWORD timeGetTime();

// Tests only: shifts every later timeGetTime by offset milliseconds, so the
// wrap of the clock can be reached without waiting for it.
void SetTimeOffsetForTesting(DWORD offset);

// The finest timer period is always in effect here; these only report success.
inline constexpr UINT TIMERR_NOERROR = 0;
struct TIMECAPS {
    UINT wPeriodMin;
    UINT wPeriodMax;
};
UINT timeGetDevCaps(TIMECAPS* caps, UINT size);
inline UINT timeBeginPeriod(UINT) { return TIMERR_NOERROR; }
inline UINT timeEndPeriod(UINT) { return TIMERR_NOERROR; }

inline constexpr DWORD MillisecondsPerTick = 55;
// Tick values run from 0 to TickRange - 1 and then start again at 0.
inline constexpr DWORD TickRange = 0xFFFFFFFFu / MillisecondsPerTick + 1;
// The longest span a tick timer can measure: half the tick range, so that a
// span and the rest of the range can always be told apart across the wrap.
inline constexpr DWORD MaxTickSpan = 39045157;
static_assert(MaxTickSpan == (TickRange - 1) / 2);

// timeGetTime divided by 55.
DWORD CurrentTick();

// A tick timer or deadline. It has expired once more than its span of ticks
// has passed since StartTick; Expiry is StartTick + span within the tick range.
struct TTickTimer {
    DWORD StartTick = 0;
    DWORD ExpiryTick = 0;
};

// Starts at nowTick for ticks ticks, capped at MaxTickSpan; a negative span
// counts as 0 (expired at the next tick).
TTickTimer StartTickTimer(DWORD nowTick, LONG ticks);
inline TTickTimer StartTickTimer(LONG ticks) { return StartTickTimer(CurrentTick(), ticks); }

// True when the expiry tick lies behind nowTick, counting across the wrap.
bool TickTimerExpired(const TTickTimer& timer, DWORD nowTick);
inline bool TickTimerExpired(const TTickTimer& timer) { return TickTimerExpired(timer, CurrentTick()); }

// Ticks from one tick value forward to another, across the wrap.
DWORD TicksBetween(DWORD fromTick, DWORD toTick);

} // namespace kivo::win
