// The stack as the window uses it, and the four workloads of the peer harness.

#include "bench/stack_peer.h"

#include "bench/rig_protocol.h"
#include "platform/sync.h"
#include "platform/window.h"

#include <algorithm>
#include <iostream>
#include <optional>
#include <vector>

namespace kivo::bench {

using namespace kivo::win;
using Clock = std::chrono::steady_clock;

namespace {

// A thread message that tells the loop posted application calls wait.
constexpr UINT PostedCallsMessage = WM_APP + 0x21;

} // namespace

// ---- Application services -----------------------------------------------------

void THeadlessServices::ShowMessageBox(const std::string& text, TMessageKind)
{
    ++Boxes;
    std::cerr << "kivo-bench: message box: " << text << '\n';
}

void THeadlessServices::Post(std::function<void()> call)
{
    {
        std::lock_guard hold(Lock);
        Posted.push_back(std::move(call));
    }
    PostThreadMessage(GetMainThreadId(), PostedCallsMessage, 0, 0);
}

int THeadlessServices::RunPosted(int limit)
{
    int ran = 0;
    while (ran < limit) {
        std::function<void()> call;
        {
            std::lock_guard hold(Lock);
            if (Posted.empty()) break;
            call = std::move(Posted.front());
            Posted.pop_front();
        }
        call();
        ++ran;
    }
    return ran;
}

// ---- The port and the packet -------------------------------------------------------

TStackPeer::TMainThreadFirst::TMainThreadFirst()
{
    SetMainThread();
}

TStackPeer::TStackPeer(TPeerOptions options, std::ostream& out)
    : Options(std::move(options)), Out(out)
{
    // As the window's stored description builds them: stored properties
    // while loading, then the end of loading.
    Port1 = new TKivComPort(&Form);
    Port1->Name = "Port1";
    Port1->BeginLoading();
    Port1->SetComNumber(static_cast<WORD>(Options.ComNumber));
    Port1->SetBaud(9600);
    Port1->SetTraceName("KIVO.TRC");
    Port1->SetLogName("KIVO.LOG");

    KivDataPacket1 = new TKivDataPacket(&Form);
    KivDataPacket1->Name = "KivDataPacket1";
    KivDataPacket1->BeginLoading();
    KivDataPacket1->SetEnabled(true);
    KivDataPacket1->SetStartString("@");
    KivDataPacket1->SetEndCond({TPacketEndCond::ecString});
    KivDataPacket1->SetEndString("*");
    KivDataPacket1->SetPacketSize(0);
    KivDataPacket1->SetComPort(Port1);
    KivDataPacket1->OnStringPacket =
        TStringPacketNotifyEvent::Of<&TStackPeer::StringPacket>(this);

    Port1->EndLoading();
    KivDataPacket1->EndLoading();
}

TStackPeer::~TStackPeer()
{
    try {
        Close();
    } catch (const std::exception& error) {
        std::cerr << "kivo-bench: closing the port: " << error.what() << '\n';
    }
    // Components go while the queue can still serve what their end sends.
    while (!Form.Components().empty()) delete Form.Components().back();
    PumpUntil(Clock::now() + std::chrono::milliseconds(50), [] { return false; });
}

void TStackPeer::StringPacket(TObject*, const std::string& data)
{
    std::uint64_t now = NowNs();
    if (OnFrame) OnFrame(data, now);
}

bool TStackPeer::Reopen()
{
    try {
        Port1->SetOpen(false);
        Port1->SetComNumber(static_cast<WORD>(Options.ComNumber));
        Port1->SetOpen(true);
    } catch (const std::exception& error) {
        std::cerr << "kivo-bench: opening the port: " << error.what() << '\n';
        ++LoopErrors;
        return false;
    }
    return Port1->Open();
}

void TStackPeer::Close()
{
    Port1->SetOpen(false);
    // A close that waits for a delivery finishes through the loop.
    PumpUntil(Clock::now() + std::chrono::seconds(5), [this] { return !Port1->Open(); });
}

void TStackPeer::SendReady()
{
    Port1->PutText(MakePriceFrame("REDY", 0));
}

bool TStackPeer::PumpUntil(Clock::time_point deadline, const std::function<bool()>& done)
{
    while (!done()) {
        Clock::time_point now = Clock::now();
        if (now >= deadline) return done();
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        DWORD woke = MsgWaitForMultipleObjects(0, nullptr, static_cast<DWORD>(left), QS_ALLINPUT);
        if (woke == WAIT_TIMEOUT) continue;
        try {
            MSG msg;
            // One message at a time, so a finished workload stops at once.
            if (PeekMessage(&msg, PM_REMOVE)) {
                if (msg.message == PostedCallsMessage && !msg.hwnd)
                    Services.RunPosted();
                else if (msg.message != WM_QUIT)
                    DispatchMessage(&msg);
            }
        } catch (...) {
            ++LoopErrors;
            Application().HandleCurrentException();
        }
    }
    return true;
}

// ---- Workloads ---------------------------------------------------------------------------

int TStackPeer::RunCycle()
{
    std::vector<double> cycleUs;
    cycleUs.reserve(static_cast<std::size_t>(std::max(Options.Cycles, 0L)));
    long errors = 0;
    long index = 0;
    std::optional<std::uint64_t> ackStamp;
    OnFrame = [&](const std::string& data, std::uint64_t) {
        std::optional<TStatusFrame> frame = ParseStatusFrame(data);
        if (frame && frame->Status == "CYC" &&
            frame->Sequence == static_cast<std::uint64_t>(index % 10000))
            ackStamp = frame->Stamp;
    };
    for (index = 0; index < Options.Cycles; ++index) {
        const std::string frame = MakePriceFrame("CYCL", static_cast<unsigned>(index));
        ackStamp.reset();
        std::uint64_t start = NowNs();
        if (!Reopen()) {
            ++errors;
            continue;
        }
        try {
            Port1->PutText(frame);
        } catch (const std::exception& error) {
            std::cerr << "kivo-bench: PutText: " << error.what() << '\n';
            ++errors;
            continue;
        }
        if (!PumpUntil(Clock::now() + Options.AckLimit, [&] { return ackStamp.has_value(); })) {
            ++errors;
            continue;
        }
        // The rig's stamp of the read that completed our frame, less ours
        // from before the close.
        cycleUs.push_back(static_cast<double>(StampDiff(*ackStamp, start % StampModulus)) /
                          1000.0);
    }
    OnFrame = nullptr;
    Close();
    ReportCycle(Out, Options.Name, std::move(cycleUs), errors);
    return errors || Failures() ? 1 : 0;
}

int TStackPeer::RunReceive(bool latency)
{
    const std::uint64_t fallback = latency ? 1000 : 200000;
    TReceiveBook book(100'000'000, latency);
    bool last = false;
    OnFrame = [&](const std::string& data, std::uint64_t now) {
        if (book.Take(data, now)) last = true;
    };
    if (!Reopen()) {
        std::cerr << "kivo-bench: open failed\n";
        return 1;
    }
    SendReady();
    const Clock::time_point start = Clock::now();
    const Clock::time_point hard = start + (latency ? Options.LatencyLimit : Options.ThroughputLimit);
    // The limits move with the data: silence after data, or none at all.
    for (;;) {
        Clock::time_point limit = hard;
        if (book.Received() == 0) {
            limit = std::min(limit, start + Options.NoDataLimit);
        } else {
            auto lastAt = Clock::time_point(std::chrono::nanoseconds(book.LastNs()));
            limit = std::min(limit, lastAt + Options.SilenceLimit);
        }
        std::uint64_t seen = book.Received() + book.Malformed() + book.Duplicates();
        if (PumpUntil(limit, [&] {
                return last || book.Received() + book.Malformed() + book.Duplicates() != seen;
            })) {
            if (last) break;
            continue;
        }
        break;
    }
    OnFrame = nullptr;
    Close();
    book.Report(Out, Options.Name, fallback);
    if (!book.Whole(fallback)) {
        std::cerr << "kivo-bench: packets lost, doubled, reordered or malformed\n";
        return 1;
    }
    return Failures() ? 1 : 0;
}

int TStackPeer::RunIdle()
{
    if (!Reopen()) {
        std::cerr << "kivo-bench: open failed\n";
        return 1;
    }
    SendReady();
    auto never = [] { return false; };
    PumpUntil(Clock::now() + Options.Settle, never);
    TIdleFigures figures =
        MeasureIdle(Options.IdleSeconds, [&](Clock::time_point until) { PumpUntil(until, never); });
    Close();
    ReportIdle(Out, Options.Name, figures.CpuSeconds, figures.WallSeconds,
               std::move(figures.Windows));
    return Failures() ? 1 : 0;
}

} // namespace kivo::bench
