#pragma once
// The program's own lines on standard error ("tarvio: ..."), each in one
// write: whoever watches the output (a terminal, the session's journal, a
// test) never reads half a line, and no other thread's output lands inside.

#include <iostream>
#include <string>

namespace tarvio {

inline void SayOnStandardError(const std::string& what)
{
    std::cerr << ("tarvio: " + what + '\n');
}

} // namespace tarvio
