#pragma once
// The serial stack used the way the price board window uses it, as one
// column of the peer harness: a TKivComPort and a TKivDataPacket set up as
// the window stores them, every transmission a close and reopen of the port
// followed by PutText, and every status packet taken in OnStringPacket on the
// main thread. The workloads drive the main thread's message loop themselves
// and print the harness's result line.
//
// Main thread only: the constructor makes the calling thread the main thread
// and installs an application whose message boxes are counted as failures
// and written to standard error, so the run never waits for an operator.

#include "framework/application.h"
#include "framework/component.h"
#include "serial/packet/data_packet.h"
#include "serial/port/com_port.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>

namespace kivo::bench {

// Boxes become lines on standard error; posted calls wait for the loop.
class THeadlessServices : public TApplicationServices {
public:
    void ShowMessageBox(const std::string& text, TMessageKind kind) override;
    void Post(std::function<void()> call) override;
    void Quit() override { QuitAsked = true; }
    bool CtrlKeyDown() override { return false; }
    void Beep() override {}

    // Runs what was posted, and what that posts, at most limit calls.
    int RunPosted(int limit = 1000);

    int Boxes = 0;
    bool QuitAsked = false;

private:
    std::mutex Lock;
    std::deque<std::function<void()>> Posted;
};

struct TPeerOptions {
    std::string Name = "kivo";
    int ComNumber = 1;
    long Cycles = 300;
    long IdleSeconds = 10;
    // How long a cycle waits for its acknowledgement.
    std::chrono::milliseconds AckLimit{2000};
    // The receive workloads end after this much silence once data came,
    // after NoDataLimit without any, or at their hard limit.
    std::chrono::milliseconds SilenceLimit{3000};
    std::chrono::milliseconds NoDataLimit{30000};
    std::chrono::milliseconds LatencyLimit{60000};
    std::chrono::milliseconds ThroughputLimit{170000};
    std::chrono::milliseconds Settle{500};
};

class TStackPeer {
public:
    TStackPeer(TPeerOptions options, std::ostream& out);
    ~TStackPeer();
    TStackPeer(const TStackPeer&) = delete;
    TStackPeer& operator=(const TStackPeer&) = delete;

    // Each prints its result line and returns the process exit code.
    int RunCycle();
    int RunReceive(bool latency);
    int RunIdle();

    // Exposed for tests: the window's configuration, read back.
    kivo::TKivComPort& Port() const noexcept { return *Port1; }
    kivo::TKivDataPacket& Packet() const noexcept { return *KivDataPacket1; }
    // Failures seen so far: message boxes and exceptions out of handlers.
    int Failures() const noexcept { return Services.Boxes + LoopErrors; }

private:
    // The window's AbrirPorta: close, set the number, open.
    bool Reopen();
    // Closes the port and serves the loop until the close has finished.
    void Close();
    // Serves the main thread's messages until done() holds or the deadline
    // passes; sleeps between arrivals. Returns done()'s last value.
    bool PumpUntil(std::chrono::steady_clock::time_point deadline,
                   const std::function<bool()>& done);
    void StringPacket(kivo::TObject* sender, const std::string& data);
    void SendReady();

    TPeerOptions Options;
    std::ostream& Out;
    THeadlessServices Services;
    struct TMainThreadFirst {
        TMainThreadFirst();
    } MainThreadFirst;
    TApplication App{Services};
    TApplicationScope Scope{App};
    TComponent Form{nullptr};
    kivo::TKivComPort* Port1 = nullptr;
    kivo::TKivDataPacket* KivDataPacket1 = nullptr;
    int LoopErrors = 0;
    std::function<void(const std::string&, std::uint64_t)> OnFrame;
};

} // namespace kivo::bench
