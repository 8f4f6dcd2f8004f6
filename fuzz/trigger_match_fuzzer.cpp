// Fuzzes the dispatcher's data-trigger matcher against a plain look for
// non-overlapping occurrences.

#include "fuzz/fuzz_main.h"
#include "fuzz/trigger_match_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    kivo::fuzz::Require(kivo::fuzz::CheckTriggerMatchCase(data, size, kivo::fuzz::DispatcherMatchByte()),
                        "trigger_match_fuzzer");
    return 0;
}
