// kivo-floor: the stack's threads and hand-offs with nothing else, as one more
// column of the peer harness. The port is plain termios; a line is a read,
// a dispatch, a write and a status thread that every close stops and every
// open starts, as the stack's are; a status frame goes from the reader to the
// dispatcher and on to the main thread by a synchronised call. No stack code
// runs, so its figures are the least the stack could cost on this machine,
// in the same run, while it keeps those threads and their order.
// With --device-calls it also makes the device calls the stack's opening and
// close make for the steps they are asked to take (below, OpenPort and
// Close): the gap from that column to the stack is the stack's own code.
//   kivo-floor [--device-calls] [--name NAME] --workload cycle|latency|throughput|idle
//              --device PATH

#include "bench/bench_options.h"
#include "bench/rig_protocol.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kivo::bench {
namespace {

using Clock = std::chrono::steady_clock;

// The stack's bound for a wait whose partner usually answers at once.
constexpr auto BriefSpin = std::chrono::microseconds(20);

// A futex counter: Ring moves it on and wakes whoever sleeps on it.
class TBell {
public:
    std::uint32_t Value() const noexcept { return Word.load(); }

    void Ring() noexcept
    {
        Word.fetch_add(1);
        if (Sleepers.load() != 0)
            ::syscall(SYS_futex, Address(), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
    }

    // Until the value is no longer seen or the deadline passes, spinning
    // first for up to spin.
    void Await(std::uint32_t seen, Clock::duration spin, Clock::time_point deadline) noexcept
    {
        const Clock::time_point spinUntil = Clock::now() + spin;
        while (Word.load() == seen && spin.count() > 0 && Clock::now() < spinUntil)
            __builtin_ia32_pause();
        while (Word.load() == seen) {
            Clock::time_point now = Clock::now();
            if (now >= deadline) return;
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now);
            timespec relative{static_cast<time_t>(left.count() / 1'000'000'000),
                              static_cast<long>(left.count() % 1'000'000'000)};
            Sleepers.fetch_add(1);
            if (Word.load() == seen)
                ::syscall(SYS_futex, Address(), FUTEX_WAIT_PRIVATE, seen,
                          deadline == Clock::time_point::max() ? nullptr : &relative, nullptr, 0);
            Sleepers.fetch_sub(1);
        }
    }

private:
    std::uint32_t* Address() noexcept { return reinterpret_cast<std::uint32_t*>(&Word); }

    std::atomic<std::uint32_t> Word{0};
    std::atomic<int> Sleepers{0};
};

// Open, configure and raise DTR and RTS as the raw-termios column does. With
// deviceCalls, as the stack must: the name looked up; the port locked and
// made exclusive, so that a held port is refused; the line made raw before
// a byte can be echoed, configured, and its settings applied again with the
// port's properties (three writes that differ, as the stack's do); DTR and
// RTS each; the error counters' baseline, the modem lines, and the error
// and queue counts.
int OpenPort(const std::string& path, bool deviceCalls)
{
    struct stat link{};
    if (deviceCalls && ::lstat(path.c_str(), &link) != 0) return -1;
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    auto unsupported = [] { return errno == ENOTTY || errno == EINVAL; };
    auto fail = [fd] {
        ::close(fd);
        return -1;
    };
    if (deviceCalls && (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0))
        return fail();
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) return fail();
    ::cfmakeraw(&settings);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (!deviceCalls) {
        ::cfsetspeed(&settings, B9600);
        int bits = TIOCM_DTR | TIOCM_RTS;
        if (::tcsetattr(fd, TCSANOW, &settings) != 0 ||
            (::ioctl(fd, TIOCMBIS, &bits) != 0 && !unsupported()))
            return fail();
        return fd;
    }
    settings.c_iflag |= IXON;
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) return fail();
    serial_icounter_struct counters{};
    if (::ioctl(fd, TIOCGICOUNT, &counters) != 0 && !unsupported()) return fail();
    for (int bits : {TIOCM_DTR, TIOCM_RTS})
        if (::ioctl(fd, TIOCMBIS, &bits) != 0 && !unsupported()) return fail();
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) != 0 && !unsupported()) return fail();
    ::cfsetspeed(&settings, B9600);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) return fail();
    int waiting = 0;
    int queued = 0;
    if (::ioctl(fd, FIONREAD, &waiting) != 0 || ::ioctl(fd, TIOCOUTQ, &queued) != 0) return fail();
    settings.c_iflag &= ~IXON;
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) return fail();
    return fd;
}

// The four line threads, parked between a close and the next open, and the
// main thread's side of their hand-offs. The main thread makes every call.
class TFloorLine {
public:
    using THandler = std::function<void(std::string_view frame)>;

    TFloorLine(THandler handler, bool deviceCalls)
        : Handler(std::move(handler)), DeviceCalls(deviceCalls)
    {
        StopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        for (TRole role : {roRead, roDispatch, roWrite, roStatus})
            Threads.emplace_back([this, role] { Serve(role); });
    }

    ~TFloorLine()
    {
        Close();
        Quit = true;
        Generation.fetch_add(1);
        for (TBell& bell : Bells) bell.Ring();
        for (std::thread& thread : Threads) thread.join();
        ::close(StopFd);
    }

    bool Open(const std::string& path)
    {
        Fd = OpenPort(path, DeviceCalls);
        if (Fd < 0) return false;
        Running = true;
        Left = 0;
        // Launched in their order and not waited for, as the stack does.
        Generation.fetch_add(1);
        for (TBell& bell : Bells) bell.Ring();
        return true;
    }

    void Close()
    {
        if (Fd < 0) return;
        // The stack's close flushes both ways before it stops the threads,
        // and lifts the exclusivity before the descriptor goes.
        if (DeviceCalls && (::tcflush(Fd, TCOFLUSH) != 0 || ::tcflush(Fd, TCIFLUSH) != 0))
            std::cerr << "kivo-floor: flush failed\n";
        Running = false;
        std::uint64_t one = 1;
        if (::write(StopFd, &one, sizeof one) < 0) std::cerr << "kivo-floor: stop bell failed\n";
        for (TBell& bell : Bells) bell.Ring();
        // A dispatcher inside a call still needs the main thread to end it.
        Pump(Clock::time_point::max(), BriefSpin, [this] { return Left.load() == Launched; });
        if (DeviceCalls && ::ioctl(Fd, TIOCNXCL) != 0) std::cerr << "kivo-floor: TIOCNXCL failed\n";
        ::close(Fd);
        Fd = -1;
        Chunks.clear();
        Carry.clear();
    }

    void Send(const std::string& frame)
    {
        {
            std::lock_guard hold(OutputLock);
            Output += frame;
        }
        Bells[roWrite].Ring();
    }

    // Serves the dispatcher's calls until done() or the deadline.
    bool Pump(Clock::time_point deadline, Clock::duration spin, const std::function<bool()>& done)
    {
        for (;;) {
            std::uint32_t seen = MainBell.Value();
            if (CallPending.load()) {
                Handler(CallFrame);
                CallPending = false;
                AnswerBell.Ring();
                continue;
            }
            if (done()) return true;
            if (Clock::now() >= deadline) return false;
            MainBell.Await(seen, spin, deadline);
        }
    }

private:
    enum TRole : unsigned char { roRead, roDispatch, roWrite, roStatus };

    void Serve(TRole role)
    {
        std::uint32_t generation = 0;
        for (;;) {
            for (;;) {
                std::uint32_t seen = Bells[role].Value();
                if (Quit || Generation.load() != generation) break;
                Bells[role].Await(seen, {}, Clock::time_point::max());
            }
            if (Quit) return;
            generation = Generation.load();
            switch (role) {
            case roRead: Read(); break;
            case roDispatch: Dispatch(); break;
            case roWrite: Write(); break;
            case roStatus: Idle(roStatus); break;
            }
            Left.fetch_add(1);
            MainBell.Ring();
        }
    }

    void Read()
    {
        char block[4096];
        while (Running) {
            pollfd waits[2] = {{Fd, POLLIN, 0}, {StopFd, POLLIN, 0}};
            if (::poll(waits, 2, -1) < 0) continue;
            if (waits[1].revents) {
                std::uint64_t count = 0;
                if (::read(StopFd, &count, sizeof count) < 0) continue;
            }
            if (!(waits[0].revents & POLLIN)) {
                // The far end has gone: nothing more comes until the close.
                if (waits[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return Idle(roRead);
                continue;
            }
            ssize_t got = ::read(Fd, block, sizeof block);
            if (got <= 0) continue;
            {
                std::lock_guard hold(ChunkLock);
                Chunks.emplace_back(block, static_cast<std::size_t>(got));
            }
            Bells[roDispatch].Ring();
        }
    }

    void Dispatch()
    {
        while (Running) {
            std::uint32_t seen = Bells[roDispatch].Value();
            std::deque<std::string> taken;
            {
                std::lock_guard hold(ChunkLock);
                taken.swap(Chunks);
            }
            if (taken.empty()) {
                // A close that rang before seen was taken is seen here.
                if (!Running) break;
                Bells[roDispatch].Await(seen, {}, Clock::time_point::max());
                continue;
            }
            for (const std::string& chunk : taken) {
                Carry += chunk;
                std::size_t start = 0;
                for (std::size_t end; (end = Carry.find('*', start)) != std::string::npos;
                     start = end + 1) {
                    std::size_t at = Carry.rfind('@', end);
                    if (at == std::string::npos || at < start) at = start;
                    Call(std::string_view(Carry).substr(at, end + 1 - at));
                }
                Carry.erase(0, start);
            }
        }
    }

    // The synchronised call: the dispatcher waits while the main thread runs it.
    void Call(std::string_view frame)
    {
        std::uint32_t seen = AnswerBell.Value();
        CallFrame = frame;
        CallPending = true;
        MainBell.Ring();
        while (CallPending.load()) {
            AnswerBell.Await(seen, BriefSpin, Clock::time_point::max());
            seen = AnswerBell.Value();
        }
    }

    void Write()
    {
        while (Running) {
            std::uint32_t seen = Bells[roWrite].Value();
            std::string out;
            {
                std::lock_guard hold(OutputLock);
                out.swap(Output);
            }
            if (out.empty()) {
                if (!Running) break;
                Bells[roWrite].Await(seen, {}, Clock::time_point::max());
                continue;
            }
            for (std::size_t sent = 0; sent < out.size() && Running;) {
                ssize_t n = ::write(Fd, out.data() + sent, out.size() - sent);
                if (n > 0) {
                    sent += static_cast<std::size_t>(n);
                    continue;
                }
                pollfd wait{Fd, POLLOUT, 0};
                ::poll(&wait, 1, 100);
            }
        }
    }

    void Idle(TRole role)
    {
        while (Running) {
            std::uint32_t seen = Bells[role].Value();
            if (!Running) break;
            Bells[role].Await(seen, {}, Clock::time_point::max());
        }
    }

    static constexpr std::uint32_t Launched = 4;

    THandler Handler;
    const bool DeviceCalls;
    int Fd = -1;
    int StopFd = -1;
    std::atomic<bool> Running{false};
    std::atomic<bool> Quit{false};
    std::atomic<std::uint32_t> Generation{0};
    std::atomic<std::uint32_t> Left{0};
    TBell Bells[4];
    TBell MainBell;
    TBell AnswerBell;
    std::atomic<bool> CallPending{false};
    std::string_view CallFrame;
    std::mutex ChunkLock;
    std::deque<std::string> Chunks;
    std::string Carry;  // the dispatcher's
    std::mutex OutputLock;
    std::string Output;
    std::vector<std::thread> Threads;
};

int RunCycle(const TBenchArguments& args, bool deviceCalls, long cycles)
{
    std::vector<double> cycleUs;
    long errors = 0;
    long index = 0;
    std::optional<std::uint64_t> ack;
    TFloorLine line([&](std::string_view data) {
        std::optional<TStatusFrame> frame = ParseStatusFrame(data);
        if (frame && frame->Status == "CYC" &&
            frame->Sequence == static_cast<std::uint64_t>(index % 10000))
            ack = frame->Stamp;
    }, deviceCalls);
    for (index = 0; index < cycles; ++index) {
        ack.reset();
        std::uint64_t start = NowNs();
        line.Close();
        if (!line.Open(args.Device)) {
            ++errors;
            continue;
        }
        line.Send(MakePriceFrame("CYCL", static_cast<unsigned>(index)));
        if (!line.Pump(Clock::now() + std::chrono::seconds(2), {}, [&] { return ack.has_value(); })) {
            ++errors;
            continue;
        }
        cycleUs.push_back(static_cast<double>(StampDiff(*ack, start % StampModulus)) / 1000.0);
    }
    line.Close();
    ReportCycle(std::cout, args.Name, std::move(cycleUs), errors);
    return errors ? 1 : 0;
}

int RunReceive(const TBenchArguments& args, bool deviceCalls, bool latency)
{
    TReceiveBook book(100'000'000, latency);
    bool last = false;
    TFloorLine line([&](std::string_view frame) { last = book.Take(frame, NowNs()) || last; },
                    deviceCalls);
    if (!line.Open(args.Device)) {
        std::cerr << "kivo-floor: open failed\n";
        return 1;
    }
    line.Send(MakePriceFrame("REDY", 0));
    const Clock::time_point start = Clock::now();
    const Clock::time_point hard = start + std::chrono::seconds(latency ? 60 : 170);
    for (;;) {
        Clock::time_point limit = hard;
        if (book.Received() == 0)
            limit = std::min(limit, start + std::chrono::seconds(30));
        else
            limit = std::min(limit, Clock::time_point(std::chrono::nanoseconds(book.LastNs())) +
                                        std::chrono::seconds(3));
        std::uint64_t seen = book.Received() + book.Malformed() + book.Duplicates();
        bool moved = line.Pump(limit, {}, [&] {
            return last || book.Received() + book.Malformed() + book.Duplicates() != seen;
        });
        if (!moved || last) break;
    }
    line.Close();
    book.Report(std::cout, args.Name, latency ? 1000 : 200000);
    if (!book.Whole(latency ? 1000 : 200000)) {
        std::cerr << "kivo-floor: packets lost, doubled, reordered or malformed\n";
        return 1;
    }
    return 0;
}

int RunIdle(const TBenchArguments& args, bool deviceCalls, long seconds)
{
    TFloorLine line([](std::string_view) {}, deviceCalls);
    if (!line.Open(args.Device)) {
        std::cerr << "kivo-floor: open failed\n";
        return 1;
    }
    line.Send(MakePriceFrame("REDY", 0));
    auto never = [] { return false; };
    line.Pump(Clock::now() + std::chrono::milliseconds(500), {}, never);
    TIdleFigures figures =
        MeasureIdle(seconds, [&](Clock::time_point until) { line.Pump(until, {}, never); });
    line.Close();
    ReportIdle(std::cout, args.Name, figures.CpuSeconds, figures.WallSeconds,
               std::move(figures.Windows));
    return 0;
}

} // namespace
} // namespace kivo::bench

int main(int argc, char* argv[])
{
    using namespace kivo::bench;
    std::vector<std::string> words(argv + 1, argv + argc);
    const auto flag = std::find(words.begin(), words.end(), "--device-calls");
    const bool deviceCalls = flag != words.end();
    if (deviceCalls) words.erase(flag);
    words.insert(words.begin(), {"--name", deviceCalls ? "floor-calls" : "floor"});
    std::string error;
    std::optional<TBenchArguments> args = ParseArguments(words, &error);
    if (!args) {
        std::cerr << "kivo-floor: " << error << '\n';
        return 2;
    }
    switch (args->Workload) {
    case TWorkload::wlCycle:
        return RunCycle(*args, deviceCalls, EnvironmentNumber("BENCH_CYCLES", 300, 1, 100000));
    case TWorkload::wlLatency: return RunReceive(*args, deviceCalls, true);
    case TWorkload::wlThroughput: return RunReceive(*args, deviceCalls, false);
    case TWorkload::wlIdle:
        return RunIdle(*args, deviceCalls, EnvironmentNumber("BENCH_IDLE_S", 10, 1, 600));
    }
    return 1;
}
