#pragma once
// A test line: a pseudo-terminal whose modem-control and line-status
// requests are answered by a model the test drives, so the stack's own code
// meets DTR, RTS, CTS, DSR, ring, carrier, line errors, breaks and RS-485
// without a serial adapter.
//
// The model sits under the C library's ioctl: this file's translation unit
// defines ioctl itself, and a program linked with it (never the product)
// sends TIOCMGET, TIOCMSET, TIOCMBIS, TIOCMBIC, TIOCMIWAIT, TIOCGICOUNT,
// TIOCSRS485, TIOCGRS485, TIOCSBRK, TIOCCBRK and TIOCSERGETLSR on either end
// of the modelled pty to the model, and every other request (and every other
// descriptor) on to the real call. Linking it into the executable, rather
// than preloading it, keeps it in front of the sanitizers' own ioctl.
//
// The two ends are wired as a null-modem cable: the stack's end (the
// subsidiary) sees the far end's DTR as its DSR and carrier, the far end's
// RTS as its CTS, and the other way round. A break the far end sends is
// counted at the stack's end and arrives as a NUL byte, as a UART hands it
// over. The state lives in a small shared file, named to child processes by
// KIVO_TEST_LINE, so a simulated sign linked with this file sees the same
// line as the test.

#include <cstdint>
#include <filesystem>
#include <string>

namespace kivo::test {

class PtyPair;

enum class TModemLine : std::uint8_t { mlCts, mlDsr, mlRing, mlCarrier };

class TTestLine {
public:
    // The state file goes into dir; nothing is modelled until Model. One
    // test line per process at a time.
    explicit TTestLine(const std::filesystem::path& dir);
    ~TTestLine();
    TTestLine(const TTestLine&) = delete;
    TTestLine& operator=(const TTestLine&) = delete;

    // The test's own pty, whose far end the test drives.
    void Model(PtyPair& pty);
    // A pty another process holds the far end of, by its subsidiary's path
    // (a link to it will do); the byte-carrying calls below then throw.
    void Model(const std::filesystem::path& subsidiary);

    // ---- driven by the test, as the far end or the cable would ----------
    // An input of the stack's end: CTS, DSR, carrier, ring indicator.
    void SetInput(TModemLine line, bool on);
    // The input changes as the next wait at the stack's end begins, before
    // the driver notes the counts that wait compares with: after the stack's
    // last look, and unseen by that wait.
    void SetInputAsTheNextWaitBegins(TModemLine line, bool on);
    // Ring on, then off again (the counter moves on the trailing edge).
    void PulseRing();
    // The input flips and flips back quicker than anyone looks at it: the
    // level is as before, and only the driver's counter shows the two edges.
    void Glitch(TModemLine line);
    // A byte that arrived damaged, counted as the driver counts it.
    void FramingError(char byte = 'x');
    void ParityError(char byte = 'x');
    void Overrun(char byte = 'x');
    // A break on the line: counted, and a NUL byte received.
    void Break();
    // From now on as a PC's own UART (8250) rather than an adapter: modem-line
    // changes at the stack's end are counted, and its waits woken, only while
    // the modem-status interrupt is on. A wait switches it on; a setting with
    // CLOCAL and without CRTSCTS switches it off again, under a wait already
    // made too.
    void CountOnlyWhileWaited();
    // TIOCMIWAIT answers EINVAL from now on, as a driver that cannot wait.
    void RefuseLineWaits();
    // TIOCSRS485 answers ENOTTY from now on, as a driver without RS-485.
    void RefuseRs485();
    // The adapter has gone: its driver answers ENODEV to the line requests
    // at the stack's end, and the terminal has not been hung up yet.
    void Unplug();
    // The transmitter reports itself still sending for the next looks.
    void TransmitterBusyFor(int looks);
    // As a UART whose clock gives no faster rate: a setting above highest
    // keeps the old rate, and the call still succeeds, as the kernel's
    // serial core does.
    void RatesUpTo(unsigned highest);

    // ---- read back as the stack left them -------------------------------
    bool Dtr() const;
    bool Rts() const;
    bool BreakOn() const;
    std::uint32_t Rs485Flags() const;  // SER_RS485_* of the last TIOCSRS485
    // Someone at the stack's end waits in TIOCMIWAIT: a change now is seen.
    // (One made before the wait began is not, by the driver either.)
    bool LinesWatched() const;
    // TIOCMGET requests made at the stack's end so far, and TIOCMSET,
    // TIOCMBIS and TIOCMBIC requests.
    std::uint64_t LineReads() const;
    std::uint64_t LineWrites() const;
    // TIOCMIWAIT requests made at the stack's end, refused ones included.
    std::uint64_t LineWaitsAsked() const;

private:
    void Receive(char byte) const;

    PtyPair* Pty = nullptr;
    std::filesystem::path File;
    void* Mapping = nullptr;
};

} // namespace kivo::test
