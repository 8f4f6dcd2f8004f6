// POSIX error numbers as Windows system error numbers.

#include "platform/errno_map.h"

#include <cerrno>
#include <clocale>
#include <cstring>

#include <locale.h>

namespace kivo::win {

namespace {
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
}

DWORD Win32FromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
        return ERROR_ACCESS_DENIED;
    case EBUSY:
        return ERROR_SHARING_VIOLATION;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EIO:
        return ERROR_IO_DEVICE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

std::string ErrnoText(int error)
{
    static const locale_t plain = ::newlocale(LC_ALL_MASK, "C", locale_t{});
    if (!plain) return "error " + std::to_string(error);
    return ::strerror_l(error, plain);
}

} // namespace kivo::win
