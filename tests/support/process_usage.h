#pragma once
// What the test process holds at one instant, as the kernel and the
// allocator count it: for soak tests that must end where they started.

#include <cstddef>
#include <optional>
#include <ostream>

namespace kivo::test {

struct TProcessUsage {
    std::size_t OpenFiles = 0;      // entries of /proc/self/fd
    std::size_t Threads = 0;        // entries of /proc/self/task
    std::size_t ResidentBytes = 0;  // /proc/self/statm, resident pages
    // Bytes the allocator has handed out and not had back; nothing when a
    // sanitizer's allocator stands in and the count would mean nothing.
    std::optional<std::size_t> HeapInUse;
};

TProcessUsage MeasureProcess();

inline std::ostream& operator<<(std::ostream& out, const TProcessUsage& usage)
{
    out << usage.OpenFiles << " descriptors, " << usage.Threads << " threads, "
        << usage.ResidentBytes / 1024 << " KiB resident";
    if (usage.HeapInUse) out << ", " << *usage.HeapInUse / 1024 << " KiB of heap in use";
    return out;
}

// True in a build whose allocator is a sanitizer's: resident memory then
// also holds its quarantine and shadow, which grow on their own.
bool SanitizedAllocator();

} // namespace kivo::test
