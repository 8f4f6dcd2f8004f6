#pragma once
// The three device threads of an open port. TReadThread drains received
// bytes into the dispatcher's input queue in 256-byte blocks, keeping one
// read pending that the device completes on the first byte, TStatusThread
// waits for device events and queues them as status buffers, TWriteThread
// empties the output ring into the device.
//
// Each is created running by TKivWin32Dispatcher::StartThreads, frees itself
// when it ends and reports through its exit code: 0, -161 (reading or
// waiting for events failed), -160 (writing failed) or -13868 (no memory
// for a buffer). A failure also records the system error in LastOSError and
// stops every other thread. Each thread owns one overlapped record whose
// event it creates at its start and closes at its end; no operation on the
// record is left pending when the thread ends.

#include "platform/comm.h"
#include "serial/dispatch/dispatch_thread.h"

#include <cstdint>
#include <memory>

namespace kivo {

class TKivWin32Dispatcher;
class TIOQueue;
class TDataBuffer;

class TKivWin32Thread : public TKivDispatcherThread {
public:
    TKivWin32Thread(TKivWin32Dispatcher& dispatcher, std::atomic<TKivDispatcherThread*>* slot);

protected:
    ~TKivWin32Thread() override = default;

    // The common frame: the start step, the overlapped event, Loop, then
    // (whatever way Loop ends) the clean-up and the end step.
    void Execute() final;
    virtual void Loop() = 0;
    // Frees what the thread still holds; runs before the end step.
    virtual void ReleaseHeld() {}

    // The number of bytes the pending operation on record transferred, or
    // -161 when it failed (LastError says why). A stop while it is pending
    // abandons it and gives 0.
    virtual int WaitForOverlapped(win::OVERLAPPED& record);

    // Ends the operation pending on record, if any, and waits until the
    // device no longer refers to record. Returns the bytes it transferred.
    virtual win::DWORD AbandonPending(win::OVERLAPPED& record) = 0;

    win::HANDLE DeviceHandle() const noexcept;
    win::HANDLE ThreadAckEvent() const noexcept;
    win::HANDLE StopEvent() const noexcept;
    TIOQueue& InputQueue() const noexcept;
    bool StopRequested() const noexcept;
    // A stop of every device thread; after one, a failing call is the stop's
    // doing and is not reported.
    void RequestStop() noexcept;
    bool Stopping() const noexcept { return Terminated() || StopRequested(); }
    // Records a failed call's system error for this thread and the dispatcher.
    void RecordError(win::DWORD error) noexcept;

    TKivWin32Dispatcher& Line;
    win::OVERLAPPED Record;
    // The system error of this thread's last failed call.
    win::DWORD LastError = 0;
};

class TReadThread final : public TKivWin32Thread {
public:
    explicit TReadThread(TKivWin32Dispatcher& dispatcher);

    static constexpr std::int32_t BlockSize = 256;

protected:
    void Loop() override;
    void ReleaseHeld() override;
    win::DWORD AbandonPending(win::OVERLAPPED& record) override;

private:
    ~TReadThread() override = default;
    // Bytes read into destination (0 or more), or negative on failure;
    // waited tells whether the read was pending.
    int Read(std::uint8_t* destination, win::DWORD count, bool& waited);
    bool NewBuffer();

    std::unique_ptr<TDataBuffer> Held;
};

class TStatusThread final : public TKivWin32Thread {
public:
    explicit TStatusThread(TKivWin32Dispatcher& dispatcher);

    // The event mask set on the device.
    win::DWORD EventMask = 0;

    // EV_RXCHAR stays in: a line event that comes with received bytes is
    // queued with it, as the device reports both. The bytes themselves
    // complete the read thread's pending read, not this thread.
    static constexpr win::DWORD NTEventMask = 0x1F9;
    static constexpr win::DWORD LineEventBits = 0x21F8;

protected:
    void Loop() override;
    win::DWORD AbandonPending(win::OVERLAPPED& record) override;

private:
    ~TStatusThread() override = default;
    // 0 or more with mask filled, or negative on failure.
    int WaitEvent(win::DWORD& mask);
};

class TWriteThread final : public TKivWin32Thread {
public:
    explicit TWriteThread(TKivWin32Dispatcher& dispatcher);

    // Results of WaitForOverlapped besides a byte count and -160.
    static constexpr int FlushSeen = -1;
    static constexpr int StopSeen = -2;

protected:
    void Loop() override;
    void ReleaseHeld() override;
    // The bytes written, FlushSeen when a flush came while the write was
    // pending, StopSeen for a stop, or -160 (LastError says why).
    int WaitForOverlapped(win::OVERLAPPED& record) override;
    win::DWORD AbandonPending(win::OVERLAPPED& record) override;

private:
    ~TWriteThread() override = default;
    // 0 when the ring has gone out (or the pass was flushed or stopped),
    // -160 on failure.
    int WriteOut();
    // Non-NT RS-485: the transmitter has to be empty before RTS drops.
    void WaitTransmitterEmpty();

    // One block of the ring's size, allocated once: the ring is copied here
    // under the lock and written from here outside it.
    std::unique_ptr<std::uint8_t[]> Block;
    win::DWORD BlockSize = 0;
};

} // namespace kivo
