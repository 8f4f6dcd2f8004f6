#pragma once
// The one table from POSIX error numbers to the Windows system error numbers
// the stack's callers test. A caller whose context gives a number a sharper
// meaning (a missing path while writing a file is a missing folder; an empty
// read at open is no port) states that exception beside its call.

#include "platform/win_types.h"

#include <string>

namespace kivo::win {

// Not permitted (EACCES, EPERM, EROFS, ...) is 5, access denied; held by
// another program (EBUSY) is 32, the sharing violation; an unknown number is
// 31, a device that is not functioning.
DWORD Win32FromErrno(int error);

// The C library's text for a POSIX error number as it reads in the C locale.
// The user's locale would give it in another language than the text around
// it and, in a single-byte locale, in bytes the window does not take for
// UTF-8.
std::string ErrnoText(int error);

} // namespace kivo::win
