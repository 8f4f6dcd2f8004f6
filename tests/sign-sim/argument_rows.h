#pragma once
// Shared by the simulator's argument tables: a readable test name per row of
// command-line arguments, and a printer that shows the row as typed.

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace tarvio::sim::test {

// "Row3_status_OK1_": letters and digits kept, every other run one '_'.
inline std::string RowName(std::size_t index, const std::vector<std::string>& args)
{
    std::string name = "Row" + std::to_string(index);
    for (const std::string& arg : args)
        for (char c : arg) {
            bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            if (alnum) name += c;
            else if (name.back() != '_') name += '_';
        }
    return name;
}

// A row of arguments and the message they must be refused with.
struct ArgumentRow {
    std::vector<std::string> Args;
    std::string Message;
};

inline void PrintTo(const ArgumentRow& row, std::ostream* os)
{
    for (std::size_t i = 0; i < row.Args.size(); ++i) *os << (i ? " " : "") << row.Args[i];
}

} // namespace tarvio::sim::test
