// DCB <-> termios2: the only place that knows how line settings are spelled
// in the kernel's terms.

#include "platform/dcb_termios.h"

#include <asm/termbits.h>

#include <array>
#include <cstdint>
#include <utility>

namespace kivo::win {

namespace {

// The rates with a classic speed code. Any other rate goes out as BOTHER with
// the number itself, which the kernel passes to the driver to round.
constexpr std::array<std::pair<DWORD, tcflag_t>, 30> SpeedCodes{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
}};

tcflag_t SpeedCodeFor(DWORD rate)
{
    for (auto [known, code] : SpeedCodes)
        if (known == rate) return code;
    return BOTHER;
}

DWORD RateFor(const termios2& tio)
{
    tcflag_t code = tio.c_cflag & CBAUD;
    if (code == BOTHER) return tio.c_ospeed;
    for (auto [rate, known] : SpeedCodes)
        if (known == code) return rate;
    return 0;
}

tcflag_t SizeBits(BYTE byteSize)
{
    switch (byteSize) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

BYTE ByteSizeFor(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

tcflag_t ParityBits(BYTE parity)
{
    switch (parity) {
    case ODDPARITY:
        return PARENB | PARODD;
    case EVENPARITY:
        return PARENB;
    // Stick parity: PARODD picks which level the parity bit sticks to.
    case MARKPARITY:
        return PARENB | PARODD | CMSPAR;
    case SPACEPARITY:
        return PARENB | CMSPAR;
    default:
        return 0;
    }
}

BYTE ParityFor(tcflag_t cflag)
{
    if (!(cflag & PARENB)) return NOPARITY;
    bool odd = (cflag & PARODD) != 0;
    if (cflag & CMSPAR) return odd ? MARKPARITY : SPACEPARITY;
    return odd ? ODDPARITY : EVENPARITY;
}

}  // namespace

DWORD ValidateDcb(const DCB& dcb)
{
    if (dcb.BaudRate == 0) return ERROR_INVALID_PARAMETER;
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return ERROR_INVALID_PARAMETER;
    if (dcb.Parity > SPACEPARITY) return ERROR_INVALID_PARAMETER;
    if (dcb.StopBits > TWOSTOPBITS) return ERROR_INVALID_PARAMETER;
    if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return ERROR_INVALID_PARAMETER;
    if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) return ERROR_INVALID_PARAMETER;
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

DWORD ToTermios(const DCB& dcb, termios2& tio)
{
    if (DWORD invalid = ValidateDcb(dcb); invalid != ERROR_SUCCESS) return invalid;

    tcflag_t speed = SpeedCodeFor(dcb.BaudRate);
    tio.c_cflag &= ~(CBAUD | CIBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    // CIBAUD left at zero: input runs at the output rate.
    tio.c_cflag |= speed | SizeBits(dcb.ByteSize) | ParityBits(dcb.Parity) | CREAD | CLOCAL;
    tio.c_ispeed = dcb.BaudRate;
    tio.c_ospeed = dcb.BaudRate;
    // With 5 data bits the UART's long stop setting gives one and a half.
    if (dcb.StopBits != ONESTOPBIT) tio.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) tio.c_cflag |= CRTSCTS;

    // Breaks and errored bytes arrive as data (a NUL or the damaged byte), as
    // a UART hands them over; the line-error counters say what happened.
    tio.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL |
                     IUCLC | IXON | IXANY | IXOFF | IMAXBEL | IUTF8);
    if (dcb.fParity) tio.c_iflag |= INPCK;
    if (dcb.fOutX) tio.c_iflag |= IXON;
    if (dcb.fInX) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);

    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ISIG | ICANON | XCASE | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT |
                     ECHOKE | IEXTEN | NOFLSH | TOSTOP | FLUSHO | PENDIN);
    // One byte wakes a read, so a non-blocking read of 0 can only mean hang-up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return ERROR_SUCCESS;
}

bool DriverTook(const termios2& asked, const termios2& held, bool framed)
{
    std::uint64_t wanted = RateFor(asked);
    std::uint64_t got = RateFor(held);
    std::uint64_t off = wanted > got ? wanted - got : got - wanted;
    if (off * 50 > wanted) return false;
    tcflag_t compared = CSTOPB | PARODD | CMSPAR | CRTSCTS;
    if (framed) compared |= CSIZE | PARENB;
    return ((asked.c_cflag ^ held.c_cflag) & compared) == 0;
}

void FromTermios(const termios2& tio, DCB& dcb)
{
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = RateFor(tio);
    dcb.ByteSize = ByteSizeFor(tio.c_cflag);
    dcb.Parity = ParityFor(tio.c_cflag);
    if (tio.c_cflag & CSTOPB)
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    else
        dcb.StopBits = ONESTOPBIT;
    // The kernel has no text mode; every line is binary.
    dcb.fBinary = 1;
    dcb.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    bool ctsRts = (tio.c_cflag & CRTSCTS) != 0;
    dcb.fOutxCtsFlow = ctsRts ? 1 : 0;
    if (ctsRts)
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
}

}  // namespace kivo::win
