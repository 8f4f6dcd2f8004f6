#pragma once
// A text file written in one go: opened to replace or to append, written,
// closed. Failures give the runtime's input/output error numbers (2 not
// found, 3 path not found, 4 too many open files, 5 access denied, 101 disk
// full, 150 write-protected, 162 general failure), the numbers that the
// layers above report negated.

#include "platform/win_types.h"

#include <string>
#include <string_view>

namespace kivo::win {

class TTextFile {
public:
    TTextFile() = default;
    ~TTextFile();
    TTextFile(const TTextFile&) = delete;
    TTextFile& operator=(const TTextFile&) = delete;

    // Creates or replaces the file, or appends to it when append is set and
    // it exists. 0 or the error number.
    DWORD Open(const std::string& path, bool append);
    // Buffered; the first error is kept and reported again by Close.
    DWORD Write(std::string_view text);
    // Flushes and closes; 0 or the first error met since Open. A write that
    // failed cuts the file back to what it held at Open: writing the same
    // text again, even appending, then leaves no part of it twice.
    DWORD Close();

private:
    DWORD Flush();

    int Fd = -1;
    long long OpenedSize = 0;
    bool IsPipe = false;
    DWORD FirstError = 0;
    std::string Pending;
};

} // namespace kivo::win
