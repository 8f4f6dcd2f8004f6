// The per-thread last system error.

#include "platform/win_types.h"

namespace kivo::win {

namespace {
thread_local DWORD LastError = ERROR_SUCCESS;
}

DWORD GetLastError()
{
    return LastError;
}

void SetLastError(DWORD error)
{
    LastError = error;
}

} // namespace kivo::win
