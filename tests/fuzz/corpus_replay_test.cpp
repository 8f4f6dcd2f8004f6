// Every seed input in the tree passes its fuzzer's check against the real
// code, so a fault the fuzzers once found stays found without a fuzzer.

#include "fuzz/data_packet_check.h"
#include "fuzz/profile_check.h"
#include "fuzz/status_packet_check.h"
#include "fuzz/trigger_match_check.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

using namespace kivo::fuzz;
namespace fs = std::filesystem;

namespace {

using TCase = std::function<std::string(const std::uint8_t*, std::size_t)>;

// Runs every file of the fuzzer's seed folder; the count of files run.
std::size_t Replay(const std::string& fuzzer, const TCase& check)
{
    std::size_t replayed = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(KIVO_FUZZ_CORPUS) / fuzzer)) {
        std::ifstream file(entry.path(), std::ios::binary);
        std::string input{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        EXPECT_EQ(check(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()), "")
            << entry.path();
        ++replayed;
    }
    return replayed;
}

} // namespace

TEST(SeedCorpus, EverySeedPassesItsCheck)
{
    kivo::test::TempDir dir{"kivo-fuzz-replay"};
    std::string path = (dir / "settings.ini").string();
    TProfileFunctions functions = PlatformProfileFunctions();
    EXPECT_GE(Replay("profile_fuzzer",
                     [&](const std::uint8_t* d, std::size_t n) { return CheckProfileCase(d, n, functions, path); }),
              5u);
    EXPECT_GE(Replay("trigger_match_fuzzer",
                     [](const std::uint8_t* d, std::size_t n) {
                         return CheckTriggerMatchCase(d, n, DispatcherMatchByte());
                     }),
              5u);
    EXPECT_GE(Replay("status_packet_fuzzer",
                     [](const std::uint8_t* d, std::size_t n) {
                         return CheckStatusPacketCase(d, n, &tarvio::CheckStatusPacket);
                     }),
              5u);
    EXPECT_GE(Replay("data_packet_fuzzer",
                     [](const std::uint8_t* d, std::size_t n) { return CheckDataPacketCase(d, n, &RunDataPacket); }),
              10u);
}
