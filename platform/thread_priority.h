#pragma once
// Scheduling priority of the calling thread, in steps above normal.

#include "platform/win_types.h"

namespace kivo::win {

// 0 is normal; each step above is one nice level higher in priority. FALSE
// with the last error set when the system refuses (raising needs privilege).
BOOL SetCurrentThreadPriorityLevel(int level);

} // namespace kivo::win
