// Line settings, control lines, flow control, RS-485, the modem-status shadow
// and the line-error bits of the dispatcher.

#include "serial/dispatch/base_dispatcher.h"

#include "serial/dispatch/dispatch_thread.h"
#include "serial/errors/error_codes.h"

#include <array>

namespace kivo {

using namespace kivo::win;

namespace {

// Driver codes 0xFF10 ... 0xFF27 for rates; 0 keeps the code itself.
constexpr std::array<DWORD, 24> BaudCodeTable = {
    110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 0, 0, 38400,
    0, 0, 0, 56000, 0, 0, 0, 128000, 0, 0, 0, 256000};

bool SameFlags(const DCB& a, const DCB& b)
{
    return a.fBinary == b.fBinary && a.fParity == b.fParity && a.fOutxCtsFlow == b.fOutxCtsFlow &&
           a.fOutxDsrFlow == b.fOutxDsrFlow && a.fDtrControl == b.fDtrControl &&
           a.fDsrSensitivity == b.fDsrSensitivity && a.fTXContinueOnXoff == b.fTXContinueOnXoff &&
           a.fOutX == b.fOutX && a.fInX == b.fInX && a.fErrorChar == b.fErrorChar &&
           a.fNull == b.fNull && a.fRtsControl == b.fRtsControl &&
           a.fAbortOnError == b.fAbortOnError;
}

} // namespace

DWORD MapBaudCode(DWORD value)
{
    if (value == 0xFEFF) return 115200;
    if (value >= 0xFF10 && value <= 0xFF27) {
        DWORD mapped = BaudCodeTable[value - 0xFF10];
        return mapped != 0 ? mapped : value;
    }
    return value;
}

int TKivBaseDispatcher::ConfigureLine(DWORD baud, int parity, int dataBits, int stopBits)
{
    DCB current;
    {
        TCriticalSectionLock hold(StateLock);
        current = Config;
        DeviceGetConfig(current);
    }
    if (stopBits != KeepStopBits) stopBits = stopBits < 1 ? 1 : (stopBits > 2 ? 2 : stopBits);

    DWORD newBaud = baud == KeepBaud ? current.BaudRate : baud;
    auto newParity = static_cast<BYTE>(parity == KeepParity ? current.Parity : parity);
    auto newByteSize = static_cast<BYTE>(dataBits == KeepDataBits ? current.ByteSize : dataBits);
    BYTE newStop = current.StopBits;
    if (stopBits == 1) newStop = ONESTOPBIT;
    if (stopBits == 2) newStop = TWOSTOPBITS;
    if (newByteSize == 5) newStop = ONE5STOPBITS;

    DCB wanted = current;
    wanted.fBinary = 1;
    wanted.fParity = 0;
    wanted.fDsrSensitivity = 0;
    wanted.fNull = 0;
    wanted.fTXContinueOnXoff = 1;
    if (newBaud == current.BaudRate && newParity == current.Parity &&
        newByteSize == current.ByteSize && newStop == current.StopBits &&
        SameFlags(wanted, current))
        return 0;

    // Before the threads start nothing of this opening has been written, and
    // the system's close of the device let an earlier holder's characters
    // drain before it could be opened again: there is nothing to wait for.
    // This is the first configuration of every opening, so the port's
    // close-and-reopen before each transmission no longer sleeps 2 ms.
    if (Started()) {
        for (int polls = 0; polls < 5000 && OutputCount() > 0; ++polls) Sleep(2);

        // Let the last characters leave the UART: 18 at the old rate, 36 when
        // that is under a millisecond.
        DWORD rate;
        {
            TCriticalSectionLock hold(StateLock);
            rate = MapBaudCode(CurrentBaud);
        }
        if (rate == 0) rate = 115200;
        std::uint64_t bits = current.ByteSize + 2u + (current.Parity != NOPARITY ? 1u : 0u) +
                             (current.StopBits != ONESTOPBIT ? 1u : 0u);
        std::uint64_t bitTime = 10000000u / rate;  // in 100 ns
        std::uint64_t wait = 18 * bits * bitTime;
        if (wait < 10000) wait = 36 * bits * bitTime;
        Sleep(static_cast<DWORD>((wait + 9999) / 10000));
    }

    TCriticalSectionLock hold(StateLock);
    DCB config = Config;
    DeviceGetConfig(config);
    config.BaudRate = newBaud;
    config.Parity = newParity;
    config.ByteSize = newByteSize;
    config.StopBits = newStop;
    config.fBinary = 1;
    config.fParity = 0;
    config.fDsrSensitivity = 0;
    config.fNull = 0;
    config.fTXContinueOnXoff = 1;
    return WriteConfig(config);
}

// Under StateLock.
int TKivBaseDispatcher::WriteConfig(DCB& config)
{
    if (!DtrFlow) config.fDtrControl = DtrOn ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (!RtsFlow) config.fRtsControl = RtsOn ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    int result = DeviceSetConfig(config);
    // Kept only when the device took it: the drain time must follow the
    // rate the line really runs at.
    if (result == 0) {
        Config = config;
        CurrentBaud = config.BaudRate;
    }
    DriveDTR(DtrOn);
    if (!RS485Mode) DriveRTS(RtsOn);
    return result;
}

void TKivBaseDispatcher::QueryLine(DWORD& baud, int& parity, int& dataBits, int& stopBits)
{
    TCriticalSectionLock hold(StateLock);
    DCB config = Config;
    if (DeviceGetConfig(config) == 0) Config = config;
    baud = MapBaudCode(config.BaudRate);
    parity = config.Parity;
    dataBits = config.ByteSize;
    stopBits = config.StopBits != 0 ? 2 : 1;
}

int TKivBaseDispatcher::DriveDTR(bool on)
{
    if (DtrFlow) return 1;
    if (DeviceEscape(on ? escSetDTR : escClearDTR) < 0) return ecBadArgument;
    DtrOn = on;
    return 0;
}

int TKivBaseDispatcher::DriveRTS(bool on)
{
    if (RtsFlow) return 1;
    if (DeviceEscape(on ? escSetRTS : escClearRTS) < 0) return ecBadArgument;
    RtsOn = on;
    return 0;
}

int TKivBaseDispatcher::SetHardwareFlow(int bufferFull, int bufferResume, int options)
{
    if (bufferResume < 0 || bufferFull < bufferResume || bufferFull > static_cast<int>(InSize))
        return ecBadArgument;
    TCriticalSectionLock hold(StateLock);
    DCB config = Config;
    DeviceGetConfig(config);
    config.fOutxCtsFlow = 0;
    config.fOutxDsrFlow = 0;
    config.fDtrControl = 0;
    config.fRtsControl = 0;
    DtrFlow = false;
    RtsFlow = false;
    if (options & hfUseDTR) {
        config.fDtrControl = DTR_CONTROL_HANDSHAKE;
        DtrFlow = true;
    } else if (DtrOn) {
        config.fDtrControl = DTR_CONTROL_ENABLE;
    }
    if (options & hfUseRTS) {
        config.fRtsControl = RTS_CONTROL_HANDSHAKE;
        RtsFlow = true;
    } else if (RtsOn) {
        config.fRtsControl = RTS_CONTROL_ENABLE;
    }
    if (RS485Mode && NTPlatform) {
        config.fRtsControl = RTS_CONTROL_TOGGLE;
        RtsFlow = true;
    }
    config.XoffLim = static_cast<WORD>(InSize - static_cast<DWORD>(bufferFull));
    config.XonLim = static_cast<WORD>(bufferResume);
    if (options & hfRequireDSR) config.fOutxDsrFlow = 1;
    if (options & hfRequireCTS) config.fOutxCtsFlow = 1;
    return WriteConfig(config);
}

int TKivBaseDispatcher::SetSoftwareFlow(int bufferFull, int bufferResume, int options)
{
    if (bufferResume < 0 || bufferFull < bufferResume || bufferFull > static_cast<int>(InSize))
        return ecBadArgument;
    TCriticalSectionLock hold(StateLock);
    DCB config = Config;
    DeviceGetConfig(config);
    if (options & sfReceive) {
        config.fInX = 1;
        config.XoffLim = static_cast<WORD>(InSize - static_cast<DWORD>(bufferFull));
        config.XonLim = static_cast<WORD>(bufferResume);
        config.XonChar = 0x11;
        config.XoffChar = 0x13;
    }
    if (options & sfTransmit) {
        config.fOutX = 1;
        config.XonChar = 0x11;
        config.XoffChar = 0x13;
    }
    return WriteConfig(config);
}

int TKivBaseDispatcher::ClearSoftwareFlow()
{
    TCriticalSectionLock hold(StateLock);
    DCB config = Config;
    DeviceGetConfig(config);
    config.fOutX = 0;
    config.fInX = 0;
    return WriteConfig(config);
}

int TKivBaseDispatcher::SetXonXoffChars(char xon, char xoff)
{
    TCriticalSectionLock hold(StateLock);
    DCB config = Config;
    DeviceGetConfig(config);
    config.XonChar = xon;
    config.XoffChar = xoff;
    return WriteConfig(config);
}

int TKivBaseDispatcher::QueryFlow(int& hardwareOptions, int& softwareOptions, char& xon,
                                  char& xoff)
{
    TCriticalSectionLock hold(StateLock);
    DCB config = Config;
    int result = DeviceGetConfig(config);
    hardwareOptions = (config.fDtrControl == DTR_CONTROL_HANDSHAKE ? hfUseDTR : 0) |
                      (config.fRtsControl == RTS_CONTROL_HANDSHAKE ? hfUseRTS : 0) |
                      (config.fOutxDsrFlow ? hfRequireDSR : 0) |
                      (config.fOutxCtsFlow ? hfRequireCTS : 0);
    softwareOptions = (config.fOutX ? sfTransmit : 0) | (config.fInX ? sfReceive : 0);
    xon = config.XonChar;
    xoff = config.XoffChar;
    return result;
}

void TKivBaseDispatcher::SetRS485(bool on)
{
    TCriticalSectionLock hold(StateLock);
    RS485Mode = on;
    if (TKivDispatcherThread* writer = WriteThread.load())
        writer->SetPriorityLevel(ThreadBoost + (on ? 1 : 0));
    if (on && !NTPlatform) UartBase = DeviceBaseAddress();
}

void TKivBaseDispatcher::ApplyThreadBoost(std::uint8_t boost)
{
    // The end step empties a slot under this lock before its thread frees
    // itself, so a thread found here is still there to be told.
    TCriticalSectionLock hold(StateLock);
    if (boost == ThreadBoost) return;
    ThreadBoost = boost;
    for (auto* slot : {&ReadThread, &DispatchThread, &StatusThread})
        if (TKivDispatcherThread* thread = slot->load()) thread->SetPriorityLevel(boost);
    if (TKivDispatcherThread* writer = WriteThread.load())
        writer->SetPriorityLevel(boost + (RS485Mode ? 1 : 0));
}

std::uint8_t TKivBaseDispatcher::ReadModemStatus(DWORD keepMask)
{
    DWORD device = DeviceModemStatus();
    TCriticalSectionLock hold(StateLock);
    ModemShadow = (device & 0xF0) | (ModemShadow & 0x0F);
    if (RingSeen.exchange(false)) ModemShadow |= 0x04;
    auto result = static_cast<std::uint8_t>(ModemShadow & 0xFF);
    ModemShadow &= keepMask;
    return result;
}

std::uint8_t TKivBaseDispatcher::ReadModemShadow()
{
    return ReadModemStatus(0xF0);
}

void TKivBaseDispatcher::UpdateModemChangeBits(DWORD events)
{
    DWORD old;
    {
        TCriticalSectionLock hold(StateLock);
        old = ModemShadow & 0xFF;
    }
    DWORD now = ReadModemStatus(0xFF);
    TCriticalSectionLock hold(StateLock);
    ModemShadow |= ((now ^ old) & 0xF0) >> 4;
    // The device's word that a line moved counts too: a line that went and
    // came back between two looks is at its old level, and a pass that read
    // the lines before this event came may already hold the new one.
    if (events & EV_CTS) ModemShadow |= 0x01;
    if (events & EV_DSR) ModemShadow |= 0x02;
    if (events & EV_RLSD) ModemShadow |= 0x08;
}

int TKivBaseDispatcher::TakeLineError()
{
    TCriticalSectionLock hold(StateLock);
    std::int32_t bits = ErrorBits.load();
    for (;;) {
        int result = 0;
        if (bits == -1)
            result = 10;
        else if (bits & 1)
            result = 1;
        else if (bits & 2)
            result = 2;
        else if (bits & 4)
            result = 3;
        else if (bits & 8)
            result = 4;
        else if (bits & 16)
            result = 9;
        if (result == 0) return 0;
        std::int32_t cleared = bits == -1 ? 0 : bits & ~0x0F;
        if (ErrorBits.compare_exchange_weak(bits, cleared)) return result;
    }
}

bool TKivBaseDispatcher::TakeLineBreak()
{
    TCriticalSectionLock hold(StateLock);
    std::int32_t bits = ErrorBits.load();
    for (;;) {
        // A device failure is no break, and must still read as one (10).
        if (bits == -1 || !(bits & 16)) return false;
        if (ErrorBits.compare_exchange_weak(bits, bits & ~16)) return true;
    }
}

void TKivBaseDispatcher::SetOptionBits(DWORD bits)
{
    TCriticalSectionLock hold(StateLock);
    OptionFlags |= bits;
}

void TKivBaseDispatcher::ClearOptionBits(DWORD bits)
{
    TCriticalSectionLock hold(StateLock);
    OptionFlags &= ~bits;
}

} // namespace kivo
