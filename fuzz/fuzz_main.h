#pragma once
// What every fuzzer does with a check's verdict: nothing when it agreed,
// otherwise print the finding and abort so that libFuzzer keeps the input.

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kivo::fuzz {

inline void Require(const std::string& finding, const char* target)
{
    if (finding.empty()) return;
    std::fprintf(stderr, "\n%s: %s\n", target, finding.c_str());
    std::abort();
}

} // namespace kivo::fuzz
