// Micro-benchmarks of the hot paths: the data packet cutting a stream of
// status packets and noise, the data-trigger matcher, the input queue's push
// and pop, the synchronised call onto the main thread, the start and stop of
// a line's four threads beside the bare cost of four thread hand-offs, and
// the settings read at first show. Heap allocations made while a
// benchmark is timed are counted (operator new is replaced below), so a path
// that allocates per byte shows in its allocs_per_KiB counter.

#include "app/board_settings.h"
#include "bench/bench_options.h"
#include "bench/rig_protocol.h"
#include "framework/application.h"
#include "framework/component.h"
#include "platform/window.h"
#include "serial/dispatch/detail/matcher.h"
#include "serial/device/win32_dispatcher.h"
#include "serial/dispatch/io_queue.h"
#include "serial/packet/data_packet.h"
#include "serial/port/com_port.h"
#include "tests/dispatch/scripted_dispatcher.h"
#include "tests/support/pty_pair.h"

#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <sys/resource.h>
#include <pthread.h>
#include <sched.h>

namespace {

std::atomic<std::uint64_t> Allocations{0};

} // namespace

void* operator new(std::size_t size)
{
    Allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace kivo;

// Status packets as the sign sends them, with a little line noise between
// some of them: the mix the window's packet sees.
std::string MixedStream(std::size_t bytes, std::size_t* frames = nullptr)
{
    std::mt19937 pick(7);
    std::string stream;
    stream.reserve(bytes + 128);
    std::uint64_t sequence = 0;
    while (stream.size() < bytes) {
        stream += bench::MakeStatusFrame(sequence, 1234567890123ULL + sequence * 977, 1000000,
                                         "LAT");
        ++sequence;
        if (frames) ++*frames;
        if (pick() % 4 == 0) {
            int noise = 1 + static_cast<int>(pick() % 12);
            // Noise never holds the start string, or it would open a packet.
            for (int i = 0; i < noise; ++i) stream += static_cast<char>('a' + pick() % 26);
        }
    }
    return stream;
}

struct TAllocationProbe {
    explicit TAllocationProbe(benchmark::State& s) : State(s), Start(Allocations.load()) {}
    void Report(double bytes)
    {
        double made = static_cast<double>(Allocations.load() - Start);
        State.counters["allocs_per_KiB"] = bytes > 0 ? made / (bytes / 1024.0) : 0.0;
    }
    benchmark::State& State;
    std::uint64_t Start;
};

// Voluntary context switches of the whole process (every thread) while a
// benchmark is timed, per iteration: each is a thread that went to sleep
// and had to be woken, whatever the load made each wake-up cost.
struct TSwitchProbe {
    explicit TSwitchProbe(benchmark::State& s) : State(s), Start(Now()) {}
    static long Now()
    {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        return usage.ru_nvcsw;
    }
    void Report()
    {
        State.counters["switches"] = benchmark::Counter(static_cast<double>(Now() - Start),
                                                        benchmark::Counter::kAvgIterations);
    }
    benchmark::State& State;
    long Start;
};

// ---- The data packet over a dispatcher without threads ---------------------------

// A port whose dispatcher is the in-memory one of the dispatcher tests,
// without its dispatch thread: the benchmark runs the passes itself, so the
// packet's events are called directly, on this thread.
class TMemoryPort : public TKivComPort {
public:
    using TKivComPort::TKivComPort;
    std::unique_ptr<TKivBaseDispatcher> CreateDispatcher() override
    {
        auto line = std::make_unique<test::ScriptedDispatcher>(false, this);
        Line = line.get();
        return line;
    }
    test::ScriptedDispatcher* Line = nullptr;
};

class TCountingHandler : public TObject {
public:
    void Packet(TObject*, const std::string& data) { Bytes += data.size(), ++Count; }
    std::size_t Count = 0;
    std::size_t Bytes = 0;
};

void BM_DataPacketMixedStream(benchmark::State& state)
{
    win::SetMainThread();
    std::size_t framesPerPass = 0;
    const std::string stream = MixedStream(static_cast<std::size_t>(state.range(0)), &framesPerPass);
    TComponent form(nullptr);
    auto* port = new TMemoryPort(&form);
    port->SetComNumber(1);
    port->SetBaud(9600);
    auto* packet = new TKivDataPacket(&form);
    TCountingHandler handler;
    packet->SetStartString("@");
    packet->SetEndCond({TPacketEndCond::ecString});
    packet->SetEndString("*");
    packet->SetComPort(port);
    packet->OnStringPacket = TStringPacketNotifyEvent::Of<&TCountingHandler::Packet>(&handler);
    packet->SetEnabled(true);
    port->SetOpen(true);
    if (!port->Open() || !port->Line) {
        state.SkipWithError("the port did not open");
        return;
    }
    TAllocationProbe probe(state);
    std::size_t expected = 0;
    for (auto _ : state) {
        // The read thread's 256-byte blocks; their allocation is the read
        // thread's cost, not the packet's.
        state.PauseTiming();
        const std::uint64_t beforeBlocks = Allocations.load();
        port->Line->Receive(stream);
        state.ResumeTiming();
        probe.Start += Allocations.load() - beforeBlocks;
        for (int pass = 0; pass < 100000 && port->Line->InputQueue.Count() > 0; ++pass)
            port->Line->DispatchPass();
        expected += framesPerPass;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    probe.Report(static_cast<double>(state.iterations() * stream.size()));
    state.counters["packets_per_s"] =
        benchmark::Counter(static_cast<double>(handler.Count), benchmark::Counter::kIsRate);
    // Each pass ends on a whole frame or noise: every frame comes once and
    // whole, or the rate above belongs to a packet that dropped or cut some.
    if (handler.Count != expected || handler.Bytes != expected * bench::StatusLength) {
        static std::string why;
        why = "the packet delivered " + std::to_string(handler.Count) + " status frames of " +
              std::to_string(expected) + ", " + std::to_string(handler.Bytes) + " bytes";
        state.SkipWithError(why.c_str());
    }
    port->SetOpen(false);
}
BENCHMARK(BM_DataPacketMixedStream)->Arg(64 * 1024)->Unit(benchmark::kMicrosecond);

// ---- The data-trigger matcher --------------------------------------------------------

void BM_DataTriggerMatcher(benchmark::State& state)
{
    const std::string pattern = state.range(0) == 1 ? "*" : "LAT*";
    TDataTrigger trigger;
    trigger.Length = static_cast<int>(pattern.size());
    trigger.IgnoreCase = true;
    for (std::size_t i = 0; i < pattern.size(); ++i)
        trigger.Pattern[i] = static_cast<std::uint8_t>(pattern[i]);
    const std::string stream = MixedStream(64 * 1024);
    TAllocationProbe probe(state);
    std::size_t matches = 0;
    for (auto _ : state) {
        for (char c : stream)
            matches += detail::MatchByte(trigger, static_cast<std::uint8_t>(c)) ? 1 : 0;
        benchmark::DoNotOptimize(matches);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    probe.Report(static_cast<double>(state.iterations() * stream.size()));
    if (matches == 0) state.SkipWithError("the pattern never matched");
}
BENCHMARK(BM_DataTriggerMatcher)->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond);

// ---- The input queue ---------------------------------------------------------------------

void BM_QueuePushPop(benchmark::State& state)
{
    TIOQueue queue;
    const auto depth = static_cast<int>(state.range(0));
    std::vector<std::unique_ptr<TIOBuffer>> blocks;
    for (int i = 0; i < depth; ++i) blocks.push_back(std::make_unique<TDataBuffer>(256));
    for (auto _ : state) {
        for (auto& block : blocks) queue.Push(std::move(block));
        for (auto& block : blocks) block = queue.Pop();
    }
    state.SetItemsProcessed(state.iterations() * depth);
    if (!blocks.front()) state.SkipWithError("a pushed block did not come back");
}
BENCHMARK(BM_QueuePushPop)->Arg(1)->Arg(32);

// A consumer on another thread, as the dispatch thread takes the read
// thread's blocks.
void BM_QueueHandOff(benchmark::State& state)
{
    static TIOQueue* shared = nullptr;
    static std::atomic<std::uint64_t> taken{0};
    if (state.thread_index() == 0) {
        shared = new TIOQueue;
        taken = 0;
    }
    // Both threads start together: thread 0 has made the queue by now.
    if (state.thread_index() == 0) {
        for (auto _ : state) shared->Push(std::make_unique<TDataBuffer>(256));
        state.SetItemsProcessed(state.iterations());
    } else {
        for (auto _ : state) {
            while (!shared->Pop())
                if (shared->WaitForBuffer(1) != win::WAIT_OBJECT_0) break;
            taken.fetch_add(1);
        }
    }
    if (state.thread_index() == 0) {
        // The consumer may stop early; what it left is freed with the queue.
        delete shared;
        shared = nullptr;
    }
}
BENCHMARK(BM_QueueHandOff)->Threads(2)->UseRealTime();

// ---- The synchronised call ------------------------------------------------------------

// A line thread's call onto a main thread that runs its message loop, as the
// data packet delivers every packet. Arg 0: the scheduler places both
// threads; arg 1: both on the CPU the benchmark started on, so the hand-off
// is a switch on one CPU instead of a wake-up of the other, which on a
// virtual machine whose other CPU sits idle is what each hand-off costs.
void BM_SynchronisedCall(benchmark::State& state)
{
    const bool oneCpu = state.range(0) != 0;
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(static_cast<unsigned>(sched_getcpu()), &cpus);
    cpu_set_t before;
    pthread_getaffinity_np(pthread_self(), sizeof before, &before);
    if (oneCpu) pthread_setaffinity_np(pthread_self(), sizeof cpus, &cpus);

    std::atomic<win::DWORD> ownerId{0};
    std::atomic<bool> stop{false};
    std::thread owner([&] {
        if (oneCpu) pthread_setaffinity_np(pthread_self(), sizeof cpus, &cpus);
        win::MSG msg;
        win::PeekMessage(&msg, win::PM_REMOVE);  // the queue exists from here
        ownerId = win::GetCurrentThreadId();
        ownerId.notify_one();
        while (!stop.load()) {
            win::MsgWaitForMultipleObjects(0, nullptr, win::INFINITE, win::QS_ALLINPUT);
            while (win::PeekMessage(&msg, win::PM_REMOVE)) {
            }
        }
    });
    ownerId.wait(0);
    std::uint64_t ran = 0;
    TSwitchProbe switches(state);
    for (auto _ : state) win::SendThreadCall(ownerId.load(), [&] { ++ran; }, win::INFINITE);
    switches.Report();
    stop = true;
    win::PostThreadMessage(ownerId.load(), win::WM_APP, 0, 0);
    owner.join();
    pthread_setaffinity_np(pthread_self(), sizeof before, &before);
    state.SetItemsProcessed(static_cast<std::int64_t>(ran));
    if (ran != static_cast<std::uint64_t>(state.iterations()))
        state.SkipWithError("a call did not run");
}
BENCHMARK(BM_SynchronisedCall)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

// ---- The line's four threads ------------------------------------------------------------

// Every thread of the process on one CPU for the object's life, the parked
// ones too (they keep the CPUs they were created with); new threads inherit
// it from their creator. Given back as it was at the end.
class TWholeProcessOnOneCpu {
public:
    explicit TWholeProcessOnOneCpu(int cpu)
    {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(static_cast<unsigned>(cpu), &one);
        DIR* tasks = ::opendir("/proc/self/task");
        if (!tasks) return;
        while (dirent* entry = ::readdir(tasks)) {
            pid_t task = static_cast<pid_t>(std::atoi(entry->d_name));
            cpu_set_t had;
            if (task <= 0 || ::sched_getaffinity(task, sizeof had, &had) != 0) continue;
            if (::sched_setaffinity(task, sizeof one, &one) == 0) Pinned.push_back({task, had});
        }
        ::closedir(tasks);
    }
    ~TWholeProcessOnOneCpu()
    {
        for (auto& [task, had] : Pinned) ::sched_setaffinity(task, sizeof had, &had);
    }
    TWholeProcessOnOneCpu(const TWholeProcessOnOneCpu&) = delete;
    TWholeProcessOnOneCpu& operator=(const TWholeProcessOnOneCpu&) = delete;

private:
    std::vector<std::pair<pid_t, cpu_set_t>> Pinned;
};

// A port's opening and closing without the port: the device opened and set
// up, the read, dispatch, write and status threads started and their
// arrivals awaited, then stopped in their order and the device closed, as
// every transmission of the price board does, over a pseudo-terminal. A new
// dispatcher each time, as the port makes one per opening. Arg 0: the
// scheduler places the threads; arg 1: every thread of the process on the
// CPU the benchmark started on.
void BM_LineThreadsStartStop(benchmark::State& state)
{
    win::SetMainThread();
    test::PtyPair far;
    bench::TDeviceDirectory devices(far.SubsidiaryPath(), 1);
    std::optional<TWholeProcessOnOneCpu> pinned;
    if (state.range(0) != 0) pinned.emplace(sched_getcpu());
    std::uint64_t failed = 0;
    TSwitchProbe switches(state);
    for (auto _ : state) {
        auto line = std::make_unique<TKivWin32Dispatcher>(nullptr);
        if (line->OpenLine("\\\\.\\COM1", 9600, 0, 8, 1, 4096, 4096, lnDTROn | lnRTSOn) != 0 ||
            line->ThreadCount.load() != 4)
            ++failed;
        line->CloseLine();
    }
    switches.Report();
    pinned.reset();
    if (failed) state.SkipWithError("an opening did not start the four threads");
}
BENCHMARK(BM_LineThreadsStartStop)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The least a start and a stop of four threads can cost on this machine, as
// a yardstick for the one above: four bare threads that each sleep on a word
// (a futex, no spinning, as an idle line's threads sleep), acknowledge a
// start, sleep again and acknowledge a stop. The starter wakes all four at
// once and waits for each acknowledgement, spinning up to 20 us before it
// sleeps, as the stack's own waits do. No device, no events, no stack code:
// what is left is the wake-ups and thread switches.
void BM_BareFourThreadHandshakes(benchmark::State& state)
{
    auto sleepOn = [](std::atomic<std::uint32_t>& word, std::uint32_t seen) {
        ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen,
                  nullptr, nullptr, 0);
    };
    auto wake = [](std::atomic<std::uint32_t>& word) {
        ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1,
                  nullptr, nullptr, 0);
    };
    struct alignas(64) TWorker {
        std::atomic<std::uint32_t> Order{0};
        std::atomic<std::uint32_t> Answer{0};
        std::atomic<bool> StarterAsleep{false};
    };
    std::array<TWorker, 4> workers;
    std::atomic<bool> quit{false};
    std::vector<std::thread> threads;
    for (TWorker& worker : workers)
        threads.emplace_back([&] {
            std::uint32_t seen = 0;
            for (;;) {
                while (worker.Order.load() == seen) sleepOn(worker.Order, seen);
                seen = worker.Order.load();
                if (quit.load()) return;
                worker.Answer.store(seen);
                if (worker.StarterAsleep.load()) wake(worker.Answer);
            }
        });
    std::optional<TWholeProcessOnOneCpu> pinned;
    if (state.range(0) != 0) pinned.emplace(sched_getcpu());
    auto await = [&](TWorker& worker, std::uint32_t order) {
        const auto spinUntil = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
        while (worker.Answer.load() != order && std::chrono::steady_clock::now() < spinUntil)
            __builtin_ia32_pause();
        while (worker.Answer.load() != order) {
            worker.StarterAsleep.store(true);
            std::uint32_t answer = worker.Answer.load();
            if (answer != order) sleepOn(worker.Answer, answer);
            worker.StarterAsleep.store(false);
        }
    };
    std::uint32_t order = 0;
    TSwitchProbe switches(state);
    for (auto _ : state) {
        for (int step = 0; step < 2; ++step) {  // start, then stop
            ++order;
            for (TWorker& worker : workers) {
                worker.Order.store(order);
                wake(worker.Order);
            }
            for (TWorker& worker : workers) await(worker, order);
        }
    }
    switches.Report();
    pinned.reset();
    quit = true;
    for (TWorker& worker : workers) {
        worker.Order.fetch_add(1);
        wake(worker.Order);
    }
    for (std::thread& thread : threads) thread.join();
}
BENCHMARK(BM_BareFourThreadHandshakes)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

// ---- The settings read at first show --------------------------------------------------

void BM_ReadBoardSettings(benchmark::State& state)
{
    namespace fs = std::filesystem;
    const fs::path file = fs::temp_directory_path() / "kivo-microbench-tarvio.ini";
    {
        std::ofstream out(file, std::ios::binary);
        out << "[Porta]\r\nPort=1\r\n\r\n[Tarvio]\r\n";
        for (int i = 1; i <= 8; ++i) out << "P" << i << "=" << 1000 + i * 111 << "\r\n";
        out << "\r\n[Hora_Muda]\r\nHora=8\r\nMinuto=30\r\n\r\n[Texto]\r\n";
        for (int i = 1; i <= 8; ++i) out << "Des" << i << "=Produto " << i << "\r\n";
        out << "\r\n[Cores]\r\n";
        for (int i = 1; i <= 8; ++i) out << "Cor" << i << "=Verde\r\n";
    }
    int port = 0;
    for (auto _ : state) {
        tarvio::BoardSettings settings = tarvio::ReadBoardSettings(file.string());
        port += settings.PortNumber;
        benchmark::DoNotOptimize(settings);
    }
    fs::remove(file);
    if (port != static_cast<int>(state.iterations())) state.SkipWithError("the port was not read");
}
BENCHMARK(BM_ReadBoardSettings)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
