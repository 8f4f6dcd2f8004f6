// Thread priority through the per-thread nice value of Linux.

#include "platform/thread_priority.h"

#include <algorithm>
#include <cerrno>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kivo::win {

BOOL SetCurrentThreadPriorityLevel(int level)
{
    int nice = std::clamp(-level, -20, 19);
    auto thread = static_cast<id_t>(::syscall(SYS_gettid));
    if (::setpriority(PRIO_PROCESS, thread, nice) == 0) return TRUE;
    SetLastError(errno == EACCES || errno == EPERM ? 5 : 87);
    return FALSE;
}

} // namespace kivo::win
