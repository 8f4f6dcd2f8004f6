// The rate the program set on its end of the pseudo-terminal. Apart from
// sign_line.cpp because the kernel's termios2, which tells any rate, and the C
// library's termios cannot share a file.

#include "tools/sign-sim/sign_line.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace tarvio::sim {

std::optional<std::string> SignLine::ForeignRate() const
{
    constexpr unsigned SignRate = 9600;
    if (HeldSubsidiary < 0) return std::nullopt;
    termios2 tio{};
    if (::ioctl(HeldSubsidiary, TCGETS2, &tio) != 0) return std::nullopt;
    if (tio.c_ospeed == SignRate && tio.c_ispeed == SignRate) return std::nullopt;
    std::string rate = std::to_string(tio.c_ospeed);
    if (tio.c_ispeed != tio.c_ospeed) rate += "/" + std::to_string(tio.c_ispeed);
    return rate + " baud";
}

} // namespace tarvio::sim
