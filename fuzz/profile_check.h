#pragma once
// One fuzz case for the settings-file functions: a file of any content, reads
// of the keys it holds, one write, and the file afterwards, all judged
// against the yardstick reader. The functions under test come in as a table
// so that the checks themselves can be tested with faulty stand-ins.

#include "platform/win_types.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kivo::fuzz {

struct TProfileFunctions {
    std::string (*ReadString)(const std::string& section, const std::string& key,
                              const std::string& defaultValue, win::DWORD size,
                              const std::string& fileName);
    int (*ReadInt)(const std::string& section, const std::string& key, int defaultValue,
                   const std::string& fileName);
    win::BOOL (*Write)(const std::string& section, const std::string& key, const std::string& value,
                       const std::string& fileName);
};

// The platform's own functions.
TProfileFunctions PlatformProfileFunctions();

// The case the input describes, run on the file at path (created or
// replaced). Empty when everything agreed, else what went wrong.
std::string CheckProfileCase(const std::uint8_t* data, std::size_t size,
                             const TProfileFunctions& functions, const std::string& path);

} // namespace kivo::fuzz
