// Counting the process's descriptors, threads and memory through /proc.

#include "tests/support/process_usage.h"

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>

namespace kivo::test {

namespace {

std::size_t CountEntries(const char* path, bool ownDescriptor)
{
    DIR* dir = ::opendir(path);
    if (!dir) throw std::runtime_error(std::string("cannot list ") + path);
    std::size_t count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    // The listing's own descriptor is among the entries it found.
    return ownDescriptor && count > 0 ? count - 1 : count;
}

} // namespace

bool SanitizedAllocator()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

TProcessUsage MeasureProcess()
{
    TProcessUsage usage;
    usage.OpenFiles = CountEntries("/proc/self/fd", true);
    usage.Threads = CountEntries("/proc/self/task", false);
    std::ifstream statm("/proc/self/statm");
    std::size_t totalPages = 0;
    std::size_t residentPages = 0;
    if (!(statm >> totalPages >> residentPages))
        throw std::runtime_error("cannot read /proc/self/statm");
    usage.ResidentBytes = residentPages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    if (!SanitizedAllocator()) usage.HeapInUse = ::mallinfo2().uordblks;
    return usage;
}

} // namespace kivo::test
