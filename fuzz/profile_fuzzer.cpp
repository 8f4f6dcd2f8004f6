// Fuzzes the settings-file reader and writer on one scratch file per process.

#include "fuzz/fuzz_main.h"
#include "fuzz/profile_check.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// tmpfs where there is one: the writer syncs every file it replaces.
std::string ScratchFile()
{
    static const std::string path = [] {
        std::error_code ignored;
        std::string base = std::filesystem::is_directory("/dev/shm", ignored)
                               ? std::string("/dev/shm")
                               : std::filesystem::temp_directory_path().string();
        std::string pattern = base + "/kivo-profile-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("profile_fuzzer: mkdtemp");
            std::abort();
        }
        static std::string folder = pattern;
        std::atexit([] {
            std::error_code ignore;
            std::filesystem::remove_all(folder, ignore);
        });
        return pattern + "/settings.ini";
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const kivo::fuzz::TProfileFunctions functions = kivo::fuzz::PlatformProfileFunctions();
    kivo::fuzz::Require(kivo::fuzz::CheckProfileCase(data, size, functions, ScratchFile()),
                        "profile_fuzzer");
    return 0;
}
