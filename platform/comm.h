#pragma once
// The Win32 communications interface the device layer is written against:
// the serial records, their constants, and the calls that open, configure and
// move bytes through a serial device with overlapped I/O. Every call sets the
// last error on failure with the Windows number the callers test (2 or 3 no
// such port, 5 held by another program, 6 bad handle, 87 bad argument, 995
// cancelled, 997 pending, 1117 device error, 1167 far end gone).
//
// A serial file is a KernelObject: the shared CloseHandle of platform/sync
// ends it, completing everything still pending with 995 before it returns.
// Once the far end has gone (unplug, the other side of a pty closed), what
// was pending fails with 1167 and so does every later call that needs the
// line; bytes received before that can still be read.
// Every call may come from any thread; one thread shared by every open file
// completes overlapped operations by filling the OVERLAPPED and setting its
// hEvent.

#include "platform/win_types.h"

#include <cstdint>

namespace kivo::win {

using ULONG_PTR = std::uintptr_t;

// Line configuration, laid out as Win32 has it. Linux has no equivalent for
// some fields; they are kept as given and read back unchanged:
//   fOutxDsrFlow, fDtrControl == DTR_CONTROL_HANDSHAKE: no DTR/DSR flow
//     control in the kernel; DTR then simply stays raised.
//   fOutxCtsFlow and fRtsControl == RTS_CONTROL_HANDSHAKE: one kernel flag
//     (CRTSCTS) covers both directions; either one switches it on.
//   fDsrSensitivity, fErrorChar, fNull, fAbortOnError, ErrorChar, EvtChar,
//     XonLim, XoffLim: not applied (the kernel's thresholds are fixed).
//   fTXContinueOnXoff: Linux always keeps transmitting, as if TRUE.
//   StopBits == ONE5STOPBITS: only with ByteSize 5, sent as two stop bits
//     (what a UART does with 5 data bits and the long stop setting).
//   fParity: when clear, parity is generated but received parity errors are
//     not checked.
//   fRtsControl == RTS_CONTROL_TOGGLE: the kernel's RS-485 mode where the
//     driver offers it, else RTS raised around each write.
struct DCB
{
    DWORD DCBlength = sizeof(DCB);
    DWORD BaudRate = 0;
    DWORD fBinary : 1 = 0;
    DWORD fParity : 1 = 0;
    DWORD fOutxCtsFlow : 1 = 0;
    DWORD fOutxDsrFlow : 1 = 0;
    DWORD fDtrControl : 2 = 0;
    DWORD fDsrSensitivity : 1 = 0;
    DWORD fTXContinueOnXoff : 1 = 0;
    DWORD fOutX : 1 = 0;
    DWORD fInX : 1 = 0;
    DWORD fErrorChar : 1 = 0;
    DWORD fNull : 1 = 0;
    DWORD fRtsControl : 2 = 0;
    DWORD fAbortOnError : 1 = 0;
    DWORD fDummy2 : 17 = 0;
    WORD wReserved = 0;
    WORD XonLim = 0;
    WORD XoffLim = 0;
    BYTE ByteSize = 0;
    BYTE Parity = 0;
    BYTE StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    WORD wReserved1 = 0;
};

// Device status as ClearCommError reports it.
struct COMSTAT
{
    DWORD fCtsHold : 1 = 0;
    DWORD fDsrHold : 1 = 0;
    DWORD fRlsdHold : 1 = 0;
    DWORD fXoffHold : 1 = 0;
    DWORD fXoffSent : 1 = 0;
    DWORD fEof : 1 = 0;
    DWORD fTxim : 1 = 0;
    DWORD fReserved : 25 = 0;
    DWORD cbInQue = 0;
    DWORD cbOutQue = 0;
};

// Read and write time-outs in milliseconds; zero means unused.
// {MAXDWORD, 0, 0} for reading returns at once with whatever has arrived.
struct COMMTIMEOUTS
{
    DWORD ReadIntervalTimeout = 0;
    DWORD ReadTotalTimeoutMultiplier = 0;
    DWORD ReadTotalTimeoutConstant = 0;
    DWORD WriteTotalTimeoutMultiplier = 0;
    DWORD WriteTotalTimeoutConstant = 0;
};

// Internal holds STATUS_PENDING while the operation runs, then its Win32
// error number (0 for success); InternalHigh holds the bytes transferred.
// hEvent is a manual-reset event of platform/sync: reset when the operation
// starts, set when it completes.
struct OVERLAPPED
{
    ULONG_PTR Internal = 0;
    ULONG_PTR InternalHigh = 0;
    DWORD Offset = 0;
    DWORD OffsetHigh = 0;
    HANDLE hEvent = nullptr;
};

inline constexpr DWORD MAXDWORD = 0xFFFFFFFF;
inline constexpr ULONG_PTR STATUS_PENDING = 0x103;

// CreateFileA
inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

// DCB.Parity
inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;

// DCB.StopBits
inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;

// DCB.fDtrControl, DCB.fRtsControl
inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_TOGGLE = 3;

// DCB.BaudRate; any other value is taken as a rate in bits per second.
inline constexpr DWORD CBR_110 = 110;
inline constexpr DWORD CBR_300 = 300;
inline constexpr DWORD CBR_600 = 600;
inline constexpr DWORD CBR_1200 = 1200;
inline constexpr DWORD CBR_2400 = 2400;
inline constexpr DWORD CBR_4800 = 4800;
inline constexpr DWORD CBR_9600 = 9600;
inline constexpr DWORD CBR_14400 = 14400;
inline constexpr DWORD CBR_19200 = 19200;
inline constexpr DWORD CBR_38400 = 38400;
inline constexpr DWORD CBR_56000 = 56000;
inline constexpr DWORD CBR_57600 = 57600;
inline constexpr DWORD CBR_115200 = 115200;
inline constexpr DWORD CBR_128000 = 128000;
inline constexpr DWORD CBR_256000 = 256000;

// Comm events (SetCommMask, WaitCommEvent).
inline constexpr DWORD EV_RXCHAR = 0x0001;   // a byte arrived since the last report
inline constexpr DWORD EV_RXFLAG = 0x0002;   // EvtChar arrived (not detected here)
inline constexpr DWORD EV_TXEMPTY = 0x0004;  // the output has drained
inline constexpr DWORD EV_CTS = 0x0008;
inline constexpr DWORD EV_DSR = 0x0010;
inline constexpr DWORD EV_RLSD = 0x0020;
inline constexpr DWORD EV_BREAK = 0x0040;
inline constexpr DWORD EV_ERR = 0x0080;
inline constexpr DWORD EV_RING = 0x0100;
inline constexpr DWORD EV_PERR = 0x0200;
inline constexpr DWORD EV_RX80FULL = 0x0400;
inline constexpr DWORD EV_EVENT1 = 0x0800;
inline constexpr DWORD EV_EVENT2 = 0x1000;
// Offered only by older, non-NT drivers. SetCommMask stores it, but a
// WaitCommEvent with it in the mask fails with 87, as an NT driver does.
inline constexpr DWORD EV_NONNT_EXTRA = 0x2000;

// Line errors (ClearCommError).
inline constexpr DWORD CE_RXOVER = 0x0001;
inline constexpr DWORD CE_OVERRUN = 0x0002;
inline constexpr DWORD CE_RXPARITY = 0x0004;
inline constexpr DWORD CE_FRAME = 0x0008;
inline constexpr DWORD CE_BREAK = 0x0010;
inline constexpr DWORD CE_TXFULL = 0x0100;
inline constexpr DWORD CE_IOE = 0x0400;
inline constexpr DWORD CE_MODE = 0x8000;

// Modem status (GetCommModemStatus).
inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;

// EscapeCommFunction codes.
inline constexpr DWORD SETXOFF = 1;
inline constexpr DWORD SETXON = 2;
inline constexpr DWORD SETRTS = 3;
inline constexpr DWORD CLRRTS = 4;
inline constexpr DWORD SETDTR = 5;
inline constexpr DWORD CLRDTR = 6;
inline constexpr DWORD SETBREAK = 8;
inline constexpr DWORD CLRBREAK = 9;

// PurgeComm flags. The ABORT flags complete pending reads or writes with 995.
inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

// Opens a serial device. "\\.\COMn" is the entry comN of the device
// directory (KIVO_DEVICE_DIR, else devices/ beside the executable, else
// /dev/ttyS<n-1>); other names are paths. The device is held exclusively:
// a second open, from this or any other program, fails with 5. Only
// OPEN_EXISTING is accepted; sharing, security and template are ignored.
// INVALID_HANDLE_VALUE on failure.
HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                   void* securityAttributes, DWORD creationDisposition, DWORD flagsAndAttributes,
                   HANDLE templateFile);

// Sizes the receive buffer kept in user space (the kernel's are fixed); 0
// keeps the current size. Writes go straight to the kernel, so outQueue is
// not used.
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);

// GetCommState returns the record last set (the kernel's readback is not
// trusted: a pseudo-terminal reports 8 data bits and no parity whatever was
// asked). SetCommState fails with 87 for a record the line cannot take,
// also where the driver answered a set with a rate (beyond a fiftieth),
// stop bits, parity or handshake other than asked; the line then keeps
// what it had.
BOOL GetCommState(HANDLE file, DCB* dcb);
BOOL SetCommState(HANDLE file, const DCB* dcb);

BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts);

// Setting a mask completes a pending WaitCommEvent successfully with an
// event mask of 0; events not in the new mask are forgotten.
BOOL SetCommMask(HANDLE file, DWORD evtMask);
BOOL GetCommMask(HANDLE file, DWORD* evtMask);

// Completes at once when an event in the mask happened since the last
// report, else pends (FALSE, 997) until one does. One wait at a time (87).
BOOL WaitCommEvent(HANDLE file, DWORD* evtMask, OVERLAPPED* overlapped);

// Returns and clears the accumulated CE_ errors; status may be null.
BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* status);

BOOL EscapeCommFunction(HANDLE file, DWORD function);
BOOL PurgeComm(HANDLE file, DWORD flags);

// 0 without error on a line without modem signals (a pseudo-terminal).
BOOL GetCommModemStatus(HANDLE file, DWORD* modemStat);

// With an OVERLAPPED: TRUE when done at once (hEvent is set as well), else
// FALSE with 997 and completion later. Without one the call blocks until
// done. A read that times out succeeds with a short count.
BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* bytesRead, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* bytesWritten,
               OVERLAPPED* overlapped);

// The outcome of an overlapped operation; 996 while it still runs and wait
// is FALSE. The byte count is stored even when the operation failed.
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);

// Completes every pending operation of the file with 995.
BOOL CancelIo(HANDLE file);

}  // namespace kivo::win
