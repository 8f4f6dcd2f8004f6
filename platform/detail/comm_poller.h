#pragma once
// The one thread that serves every open serial device of the process. It
// sleeps in epoll on their descriptors and a wake-up eventfd, and completes
// their pending reads, writes, event waits and timers, one device at a time
// under that device's Lock. The first open starts it; it then stays for the
// life of the process, and looks again at least once an hour even while no
// device has a deadline, so opening and closing a port start and join no
// thread, and a new far deadline needs no wake-up.
//
// Lock order: a device's Lock may be held while the poller's own lock is
// taken (closing a device); the poller never takes a device's Lock while it
// holds its own. The handle registry's lock (comm_posix.cpp) is never held
// together with either.

#include "platform/win_types.h"

#include <chrono>

namespace kivo::win::detail {

class CommDevice;

// The last step of opening: from here the poller serves the device.
DWORD WatchDevice(CommDevice& device);
// Under the device's Lock, before its descriptor is closed: once this has
// returned the poller neither reports nor touches that descriptor again.
void UnwatchDevice(CommDevice& device);
// Makes the poller look again at every device's interest and deadlines.
void WakePoller();
// The same, but only when deadline comes before the poller's next look of
// its own: a far deadline needs no wake-up. Call it after the deadline is
// in place, under the device's Lock.
void WakePollerBefore(std::chrono::steady_clock::time_point deadline);

}  // namespace kivo::win::detail
