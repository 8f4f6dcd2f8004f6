// The test line's model and the ioctl in front of the C library's.

#include "tests/line/test_line.h"

#include "tests/support/pty_pair.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <linux/serial.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>

namespace kivo::test {

namespace {

constexpr const char* StateVariable = "KIVO_TEST_LINE";
constexpr int StackEnd = 0;
constexpr int FarEnd = 1;
constexpr int Driven = TIOCM_DTR | TIOCM_RTS;

struct TEndState {
    std::atomic<int> Outputs{0};     // DTR and RTS: low until someone drives them
    std::atomic<int> TestInputs{0};  // driven by the test, stack end only
    std::atomic<std::uint32_t> BreakOn{0};
    serial_icounter_struct Counts{};  // under the state's lock
    std::atomic<std::uint64_t> LineReads{0};
    std::atomic<std::uint64_t> LineWrites{0};
    std::atomic<int> Waiting{0};  // threads in TIOCMIWAIT
    std::atomic<int> ModemInterrupt{0};  // a UART's modem-status interrupt is on
};

// Lives in the shared file. The lock, shared between processes, guards the
// records and keeps a change of lines and its counting together; the rest
// are atomics.
struct TLineState {
    pthread_mutex_t Lock;
    std::atomic<std::int32_t> PtyNumber{-1};
    std::atomic<std::uint32_t> Generation{0};  // futex word: moves on every change
    std::atomic<std::uint32_t> RefuseWaits{0};
    std::atomic<std::uint32_t> Uart{0};  // counts only while the interrupt is on
    std::atomic<std::int32_t> ChangeAtWait{0};  // inputs to flip as the next wait begins
    std::atomic<std::uint64_t> WaitsAsked{0};  // TIOCMIWAIT at the stack's end
    std::atomic<std::uint32_t> RefuseRs485{0};
    std::atomic<std::uint32_t> Unplugged{0};
    std::atomic<std::int32_t> BusyLooks{0};  // TIOCSERGETLSR answers still to say "sending"
    std::atomic<std::uint32_t> HighestRate{0};  // 0: any rate
    serial_rs485 Rs485{};
    TEndState Ends[2];
};

template <typename TStep>
auto Locked(TLineState& state, TStep step)
{
    pthread_mutex_lock(&state.Lock);
    struct TUnlock {
        pthread_mutex_t& Lock;
        ~TUnlock() { pthread_mutex_unlock(&Lock); }
    } unlock{state.Lock};
    return step();
}

using TIoctl = int (*)(int, unsigned long, ...);

TIoctl RealIoctl()
{
    static TIoctl real = reinterpret_cast<TIoctl>(::dlsym(RTLD_NEXT, "ioctl"));
    return real;
}

std::atomic<TLineState*> Current{nullptr};
std::atomic<bool> InProcess{false};

// A child process (a simulated sign) finds the line through the variable.
TLineState* State()
{
    if (TLineState* state = Current.load(std::memory_order_acquire)) return state;
    if (InProcess.load()) return nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        const char* path = std::getenv(StateVariable);
        if (!path || !*path) return;
        int fd = ::open(path, O_RDWR | O_CLOEXEC);
        if (fd < 0) return;
        void* map = ::mmap(nullptr, sizeof(TLineState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        if (map != MAP_FAILED) Current = static_cast<TLineState*>(map);
    });
    return Current.load(std::memory_order_acquire);
}

// Which end of the modelled pty fd is, or -1.
int EndOf(int fd, const TLineState& state)
{
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
    unsigned high = major(st.st_rdev);
    unsigned low = minor(st.st_rdev);
    if (high >= 136 && high <= 143)
        return static_cast<int>((high - 136) * 256 + low) == state.PtyNumber ? StackEnd : -1;
    if (high == 5 && low == 2) {
        int number = -1;
        if (RealIoctl()(fd, TIOCGPTN, &number) == 0 && number == state.PtyNumber) return FarEnd;
    }
    return -1;
}

// The null-modem cable: the other end's DTR is this end's DSR and carrier,
// its RTS this end's CTS.
int InputsOf(const TLineState& state, int end)
{
    int other = state.Ends[1 - end].Outputs.load();
    int lines = state.Ends[end].TestInputs.load();
    if (other & TIOCM_DTR) lines |= TIOCM_DSR | TIOCM_CAR;
    if (other & TIOCM_RTS) lines |= TIOCM_CTS;
    return lines;
}

void Count(const TLineState& state, TEndState& end, int before, int after)
{
    if (state.Uart.load() && &end == &state.Ends[StackEnd] && !end.ModemInterrupt.load()) return;
    int changed = before ^ after;
    if (changed & TIOCM_CTS) ++end.Counts.cts;
    if (changed & TIOCM_DSR) ++end.Counts.dsr;
    if (changed & TIOCM_CAR) ++end.Counts.dcd;
    // A UART counts the ring indicator's trailing edge.
    if ((before & TIOCM_RNG) && !(after & TIOCM_RNG)) ++end.Counts.rng;
}

void WakeWaiters(TLineState& state)
{
    ++state.Generation;
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&state.Generation), FUTEX_WAKE,
              INT32_MAX, nullptr, nullptr, 0);
}

template <typename TMutate>
void Change(TLineState& state, TMutate mutate)
{
    Locked(state, [&] {
        int before[2] = {InputsOf(state, 0), InputsOf(state, 1)};
        mutate();
        for (int end = 0; end < 2; ++end)
            Count(state, state.Ends[end], before[end], InputsOf(state, end));
    });
    WakeWaiters(state);
}

// A line error or break counted at one end.
void CountError(TLineState& state, int end, int serial_icounter_struct::*counter)
{
    Locked(state, [&] { ++(state.Ends[end].Counts.*counter); });
    WakeWaiters(state);
}

int Fail(int error)
{
    errno = error;
    return -1;
}

// A hung-up terminal answers EIO to every request; ask the real one.
bool HungUp(int fd)
{
    int waiting = 0;
    return RealIoctl()(fd, FIONREAD, &waiting) < 0 && errno == EIO;
}

struct TCounts {
    std::int32_t Cts, Dsr, Rng, Dcd;
    bool operator==(const TCounts&) const = default;
};

TCounts CountsOf(TLineState& state, int end, unsigned long mask)
{
    serial_icounter_struct counts = Locked(state, [&] { return state.Ends[end].Counts; });
    return {mask & TIOCM_CTS ? counts.cts : 0, mask & TIOCM_DSR ? counts.dsr : 0,
            mask & TIOCM_RNG ? counts.rng : 0, mask & TIOCM_CAR ? counts.dcd : 0};
}

// Blocks until a line in mask moves, the line hangs up (EIO) or a signal
// arrives (EINTR), as the driver's wait does.
int WaitForLines(TLineState& state, int fd, int end, unsigned long mask)
{
    if (end == StackEnd) ++state.WaitsAsked;
    if (state.RefuseWaits.load()) return Fail(EINVAL);
    state.Ends[end].ModemInterrupt = 1;
    if (int flip = end == StackEnd ? state.ChangeAtWait.exchange(0) : 0) {
        TEndState& self = state.Ends[end];
        Change(state, [&] { self.TestInputs = self.TestInputs.load() ^ flip; });
    }
    const TCounts start = CountsOf(state, end, mask);
    struct TWaiting {
        std::atomic<int>& Count;
        explicit TWaiting(std::atomic<int>& count) : Count(count) { ++Count; }
        ~TWaiting() { --Count; }
    } waiting(state.Ends[end].Waiting);
    for (;;) {
        std::uint32_t seen = state.Generation.load();
        if (HungUp(fd)) return Fail(EIO);
        if (!(CountsOf(state, end, mask) == start)) return 0;
        // The far end closing is not announced here: look again now and then.
        timespec limit{0, 200'000'000};
        long woke = ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&state.Generation),
                              FUTEX_WAIT, seen, &limit, nullptr, 0);
        if (woke < 0 && errno == EINTR) return Fail(EINTR);
    }
}

void SendBreak(TLineState& state, int fd, int end)
{
    // The far side counts it and receives the NUL a UART makes of it.
    CountError(state, 1 - end, &serial_icounter_struct::brk);
    const char nul = 0;
    ssize_t written = ::write(fd, &nul, 1);
    (void)written;
}

int Answer(TLineState& state, int fd, int end, unsigned long request, void* arg)
{
    if (end == StackEnd && request != TIOCMIWAIT && HungUp(fd)) return Fail(EIO);
    if (end == StackEnd && request != TIOCMIWAIT && state.Unplugged.load()) return Fail(ENODEV);
    TEndState& self = state.Ends[end];
    switch (request) {
    case TIOCMGET:
        if (end == StackEnd) ++self.LineReads;
        *static_cast<int*>(arg) = self.Outputs.load() | InputsOf(state, end);
        return 0;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC: {
        if (end == StackEnd) ++self.LineWrites;
        int bits = *static_cast<int*>(arg) & Driven;
        Change(state, [&] {
            int now = self.Outputs.load();
            if (request == TIOCMSET) now = bits;
            else if (request == TIOCMBIS) now |= bits;
            else now &= ~bits;
            self.Outputs = now;
        });
        return 0;
    }
    case TIOCGICOUNT:
        *static_cast<serial_icounter_struct*>(arg) = Locked(state, [&] { return self.Counts; });
        return 0;
    case TIOCSRS485:
        if (state.RefuseRs485.load()) return Fail(ENOTTY);
        Locked(state, [&] { state.Rs485 = *static_cast<serial_rs485*>(arg); });
        return 0;
    case TIOCGRS485:
        *static_cast<serial_rs485*>(arg) = Locked(state, [&] { return state.Rs485; });
        return 0;
    case TIOCSBRK:
        self.BreakOn = 1;
        return 0;
    case TIOCCBRK:
        if (self.BreakOn.exchange(0)) SendBreak(state, fd, end);
        return 0;
    case TIOCSERGETLSR:
        *static_cast<unsigned*>(arg) = state.BusyLooks.fetch_sub(1) > 0 ? 0 : TIOCSER_TEMT;
        return 0;
    default:
        return Fail(ENOTTY);
    }
}

bool Modelled(unsigned long request)
{
    switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMIWAIT:
    case TIOCGICOUNT:
    case TIOCSRS485:
    case TIOCGRS485:
    case TIOCSBRK:
    case TIOCCBRK:
    case TIOCSERGETLSR:
        return true;
    default:
        return false;
    }
}

// TCSETS, TCSETSW, TCSETSF and their termios2 forms.
bool SetsTermios(unsigned long request)
{
    return request == TCSETS || request == TCSETSW || request == TCSETSF ||
           (_IOC_TYPE(request) == 'T' && _IOC_NR(request) >= 0x2B && _IOC_NR(request) <= 0x2D);
}

// A UART's set_termios: the modem-status interrupt stays on only where the
// settings need the lines (hardware handshake, or carrier heeded).
void SettingsApplied(TLineState& state, int fd)
{
    termios now{};
    if (RealIoctl()(fd, TCGETS, &now) != 0) return;
    state.Ends[StackEnd].ModemInterrupt =
        (now.c_cflag & CRTSCTS) != 0 || (now.c_cflag & CLOCAL) == 0 ? 1 : 0;
}

// The kernel's termios2, which <asm/termbits.h> would give but cannot share
// a translation unit with <termios.h>.
struct TTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
constexpr unsigned long GetTermios2 = _IOR('T', 0x2A, TTermios2);
constexpr unsigned long SetTermios2 = _IOW('T', 0x2B, TTermios2);

// The serial core's answer to a rate the clock cannot give: the old one.
void KeepRateWithinClock(const TLineState& state, int fd, const TTermios2& before)
{
    TTermios2 now{};
    if (RealIoctl()(fd, GetTermios2, &now) != 0 || now.c_ospeed <= state.HighestRate.load())
        return;
    now.c_cflag = (now.c_cflag & ~(CBAUD | CIBAUD)) | (before.c_cflag & (CBAUD | CIBAUD));
    now.c_ispeed = before.c_ispeed;
    now.c_ospeed = before.c_ospeed;
    RealIoctl()(fd, SetTermios2, &now);
}

TLineState& Mapped(void* mapping)
{
    return *static_cast<TLineState*>(mapping);
}

[[noreturn]] void Fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

TTestLine::TTestLine(const std::filesystem::path& dir) : File(dir / "test-line")
{
    if (Current.load()) throw std::logic_error("one test line per process");
    int fd = ::open(File.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) Fail("test line state file");
    if (::ftruncate(fd, sizeof(TLineState)) != 0) {
        ::close(fd);
        Fail("ftruncate");
    }
    Mapping = ::mmap(nullptr, sizeof(TLineState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (Mapping == MAP_FAILED) Fail("mmap");
    auto* state = new (Mapping) TLineState;
    pthread_mutexattr_t shared;
    pthread_mutexattr_init(&shared);
    pthread_mutexattr_setpshared(&shared, PTHREAD_PROCESS_SHARED);
    pthread_mutex_init(&state->Lock, &shared);
    pthread_mutexattr_destroy(&shared);
    InProcess = true;
    Current.store(state, std::memory_order_release);
    ::setenv(StateVariable, File.c_str(), 1);
}

void TTestLine::Model(PtyPair& pty)
{
    int number = -1;
    if (RealIoctl()(pty.ControllerFd(), TIOCGPTN, &number) != 0) Fail("TIOCGPTN");
    Pty = &pty;
    Mapped(Mapping).PtyNumber = number;
}

void TTestLine::Model(const std::filesystem::path& subsidiary)
{
    std::filesystem::path real = std::filesystem::canonical(subsidiary);
    if (real.parent_path() != "/dev/pts") throw std::invalid_argument(real.string() + " is no pty");
    Pty = nullptr;
    Mapped(Mapping).PtyNumber = std::stoi(real.filename().string());
}

void TTestLine::Receive(char byte) const
{
    if (!Pty) throw std::logic_error("the far end of this line is another process's");
    Pty->Write(std::string(1, byte));
}

TTestLine::~TTestLine()
{
    ::unsetenv(StateVariable);
    Current.store(nullptr, std::memory_order_release);
    // Left mapped: a call that read the pointer just before may still use it.
}

namespace {

int BitOf(TModemLine line)
{
    switch (line) {
    case TModemLine::mlCts: return TIOCM_CTS;
    case TModemLine::mlDsr: return TIOCM_DSR;
    case TModemLine::mlRing: return TIOCM_RNG;
    case TModemLine::mlCarrier: return TIOCM_CAR;
    }
    return 0;
}

} // namespace

void TTestLine::SetInput(TModemLine line, bool on)
{
    const int bit = BitOf(line);
    TEndState& stack = Mapped(Mapping).Ends[StackEnd];
    Change(Mapped(Mapping), [&] {
        int now = stack.TestInputs.load();
        stack.TestInputs = on ? (now | bit) : (now & ~bit);
    });
}

void TTestLine::SetInputAsTheNextWaitBegins(TModemLine line, bool on)
{
    TLineState& state = Mapped(Mapping);
    const int bit = BitOf(line);
    const bool now = (state.Ends[StackEnd].TestInputs.load() & bit) != 0;
    state.ChangeAtWait = now == on ? 0 : bit;
}

void TTestLine::PulseRing()
{
    SetInput(TModemLine::mlRing, true);
    SetInput(TModemLine::mlRing, false);
}

void TTestLine::Glitch(TModemLine line)
{
    const int bit = BitOf(line);
    TLineState& state = Mapped(Mapping);
    TEndState& stack = state.Ends[StackEnd];
    Locked(state, [&] {
        for (int edge = 0; edge < 2; ++edge) {
            int before = InputsOf(state, StackEnd);
            stack.TestInputs = stack.TestInputs.load() ^ bit;
            Count(state, stack, before, InputsOf(state, StackEnd));
        }
    });
    WakeWaiters(state);
}

void TTestLine::FramingError(char byte)
{
    CountError(Mapped(Mapping), StackEnd, &serial_icounter_struct::frame);
    Receive(byte);
}

void TTestLine::ParityError(char byte)
{
    CountError(Mapped(Mapping), StackEnd, &serial_icounter_struct::parity);
    Receive(byte);
}

void TTestLine::Overrun(char byte)
{
    CountError(Mapped(Mapping), StackEnd, &serial_icounter_struct::overrun);
    Receive(byte);
}

void TTestLine::Break()
{
    CountError(Mapped(Mapping), StackEnd, &serial_icounter_struct::brk);
    Receive('\0');
}

void TTestLine::CountOnlyWhileWaited()
{
    Mapped(Mapping).Uart = 1;
}

void TTestLine::RefuseRs485()
{
    Mapped(Mapping).RefuseRs485 = 1;
}

void TTestLine::Unplug()
{
    Mapped(Mapping).Unplugged = 1;
}

void TTestLine::TransmitterBusyFor(int looks)
{
    Mapped(Mapping).BusyLooks = looks;
}

void TTestLine::RatesUpTo(unsigned highest)
{
    Mapped(Mapping).HighestRate = highest;
}

void TTestLine::RefuseLineWaits()
{
    // The platform remembers a line whose driver cannot wait by its device
    // number for the life of the process. Held here, this pty's number is
    // never handed to a later test's line, which would then be polled.
    if (Pty && ::fcntl(Pty->ControllerFd(), F_DUPFD_CLOEXEC, 0) < 0) Fail("dup");
    Mapped(Mapping).RefuseWaits = 1;
    WakeWaiters(Mapped(Mapping));
}

bool TTestLine::Dtr() const
{
    return Mapped(Mapping).Ends[StackEnd].Outputs.load() & TIOCM_DTR;
}

bool TTestLine::Rts() const
{
    return Mapped(Mapping).Ends[StackEnd].Outputs.load() & TIOCM_RTS;
}

bool TTestLine::BreakOn() const
{
    return Mapped(Mapping).Ends[StackEnd].BreakOn.load() != 0;
}

std::uint32_t TTestLine::Rs485Flags() const
{
    TLineState& state = Mapped(Mapping);
    return Locked(state, [&] { return state.Rs485.flags; });
}

bool TTestLine::LinesWatched() const
{
    return Mapped(Mapping).Ends[StackEnd].Waiting.load() > 0;
}

std::uint64_t TTestLine::LineReads() const
{
    return Mapped(Mapping).Ends[StackEnd].LineReads.load();
}

std::uint64_t TTestLine::LineWaitsAsked() const
{
    return Mapped(Mapping).WaitsAsked.load();
}

std::uint64_t TTestLine::LineWrites() const
{
    return Mapped(Mapping).Ends[StackEnd].LineWrites.load();
}

} // namespace kivo::test

// In front of the C library's (and a sanitizer's) ioctl for the whole
// program; only the modelled requests on the modelled pty stop here.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    using namespace kivo::test;
    if (Modelled(request)) {
        if (TLineState* state = State()) {
            int end = EndOf(fd, *state);
            if (end >= 0) {
                if (request == TIOCMIWAIT)
                    return WaitForLines(*state, fd, end, reinterpret_cast<unsigned long>(arg));
                return Answer(*state, fd, end, request, arg);
            }
        }
    }
    TLineState* clocked = nullptr;
    TTermios2 before{};
    if (SetsTermios(request))
        if (TLineState* state = State();
            state && state->HighestRate.load() && EndOf(fd, *state) == StackEnd &&
            RealIoctl()(fd, GetTermios2, &before) == 0)
            clocked = state;
    int result = RealIoctl()(fd, request, arg);
    if (result == 0 && clocked) KeepRateWithinClock(*clocked, fd, before);
    // The real hang-up also ends the model's waits on the old descriptors.
    if (request == TIOCVHANGUP && result == 0)
        if (TLineState* state = Current.load()) WakeWaiters(*state);
    if (result == 0 && SetsTermios(request)) {
        TLineState* state = State();
        if (state && state->Uart.load() && EndOf(fd, *state) == StackEnd)
            SettingsApplied(*state, fd);
    }
    return result;
}
