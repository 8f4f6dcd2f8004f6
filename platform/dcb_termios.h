#pragma once
// Translation between the Win32 line record and the kernel's termios2 (the
// form that carries any baud rate). Pure functions with no I/O, so every
// field can be checked without a device. Which DCB fields have no Linux
// equivalent is written at the fields in platform/comm.h.
//
// termios2 comes from <asm/termbits.h>, which cannot share a translation unit
// with <termios.h>; only the forward declaration is needed here.

#include "platform/comm.h"

struct termios2;

namespace kivo::win {

// Checks that the line can take the record: ByteSize 5 to 8, Parity and
// StopBits in range, one and a half stop bits only with 5 data bits and two
// not with 5, a non-zero baud rate, distinct XON and XOFF characters when
// either direction uses them. ERROR_SUCCESS or ERROR_INVALID_PARAMETER.
DWORD ValidateDcb(const DCB& dcb);

// Writes the record into tio, changing only the bits this layer owns: line
// settings and flow control from the record, raw byte transfer (no echo, no
// line editing, no character mapping, reads that wait for one byte), and
// the receiver on with CLOCAL set: the kernel ignores the modem control
// lines, so nothing waits for carrier and its loss does not hang the line up
// (the lines are still read and reported, GetCommModemStatus). Other bits,
// EXTPROC among them, stay as they were. Fails like ValidateDcb, leaving tio
// alone.
DWORD ToTermios(const DCB& dcb, termios2& tio);

// Whether the driver took what ToTermios asked for, judged from what the
// kernel holds after the set: the rate within the kernel's own tolerance of
// one fiftieth, and the same stop bits, stick parity and CTS/RTS handshake.
// A driver that cannot do a setting keeps its old one or picks another, and
// the call still succeeds. Data bits and parity are compared only on a line
// that is framed: a pseudo-terminal always holds 8 data bits and no parity.
bool DriverTook(const termios2& asked, const termios2& held, bool framed);

// The record tio describes: line settings, CRTSCTS as CTS handshake in both
// directions, IXON/IXOFF and their characters. Fields termios has no place
// for keep what dcb held.
void FromTermios(const termios2& tio, DCB& dcb);

}  // namespace kivo::win
