#pragma once
// The one table from POSIX error numbers to the Windows system error numbers
// the stack's callers test. A caller whose context gives a number a sharper
// meaning (a missing path while writing a file is a missing folder; an empty
// read at open is no port) states that exception beside its call.

#include "platform/win_types.h"

namespace kivo::win {

// Not permitted (EACCES, EPERM, EROFS, ...) is 5, access denied; held by
// another program (EBUSY) is 32, the sharing violation; an unknown number is
// 31, a device that is not functioning.
DWORD Win32FromErrno(int error);

} // namespace kivo::win
