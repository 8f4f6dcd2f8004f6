#pragma once
// The dispatcher of a serial device reached through the Win32-shaped comm
// layer: it opens, configures and closes the device, moves bytes between the
// input queue or output ring and the dispatcher, and starts and stops the
// read, dispatch, write and status threads of an open port.
//
// Owns StopEvent, which outlives every device thread: the
// destructor closes the line and waits for all threads before freeing them.
// Device operations come from the owner thread, except DeviceRead,
// HeadBytesUnread and DeviceGetErrors (the dispatch thread) and the output
// ring operations, which every thread reaches under OutputLock.

#include "serial/dispatch/base_dispatcher.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace kivo {

class TKivWin32Dispatcher : public TKivBaseDispatcher {
public:
    // owner may be null (the port presence test makes one on its own).
    explicit TKivWin32Dispatcher(TComponent* owner);
    ~TKivWin32Dispatcher() override;

    int DeviceEscape(int code) override;
    int DeviceFlush(int queue) override;
    win::DWORD DeviceGetErrors(win::COMSTAT& status) override;
    int DeviceQueryEvents(int mask) override;
    int DeviceGetConfig(win::DCB& config) override;
    int DeviceRead(void* destination, int count) override;
    int DeviceSetConfig(const win::DCB& config) override;
    int DeviceWrite(const void* source, int count) override;
    bool DeviceWaitEvent(win::DWORD& mask) override;
    bool DeviceSetQueues(win::DWORD inSize, win::DWORD outSize) override;
    void StartThreads() override;
    void StopThreads() override;
    int RingBytesUsed() override;
    int HeadBytesUnread() override;
    std::intptr_t DeviceOpen(const std::string& name, win::DWORD inSize,
                             win::DWORD outSize) override;
    int DeviceClose() override;
    int DeviceYield() override;

    bool NTLike() const noexcept { return NTPlatform; }

    // Manual-reset: set when the device threads are to end (a close, or one
    // of them failing), so that every wait of theirs ends at once instead of
    // at its next time slice. Reset when the threads start.
    win::HANDLE StopEvent = nullptr;
    // Set by the write thread, under OutputLock, while a block it took from
    // the ring is on its way to the device: only then has an output flush a
    // write to abandon and an acknowledgement to wait for.
    std::atomic<bool> BlockInFlight{false};

private:
    // Waits, serving the calling thread's messages, until the thread in
    // slot has passed its end step; with ticks > 0 at most that many 55 ms
    // ticks. True when the slot is empty.
    bool WaitForThreadEnd(std::atomic<TKivDispatcherThread*>& slot, int ticks = 0);
    void WaitForCountedOut();
    void CloseEvent(win::HANDLE& event);
};

} // namespace kivo
