#pragma once
// A dispatcher over a device that lives in memory: received bytes and event
// masks are fed through the input queue as the read and status threads would
// feed them, writes land in the output ring and in Written, configuration
// and line control calls are recorded. It starts only the dispatch thread;
// with RunThread false it starts none, and a test drives DispatchPass itself.

#include "platform/sync.h"
#include "platform/window.h"
#include "serial/dispatch/base_dispatcher.h"
#include "serial/dispatch/detail/ring.h"
#include "serial/dispatch/dispatch_thread.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace kivo::test {

class ScriptedDispatcher : public TKivBaseDispatcher {
public:
    explicit ScriptedDispatcher(bool runThread = true, TComponent* owner = nullptr)
        : TKivBaseDispatcher(owner), RunThread(runThread)
    {
        DeviceConfig.BaudRate = 9600;
        DeviceConfig.ByteSize = 8;
    }
    ~ScriptedDispatcher() override { Shutdown(); }

    int Open(win::DWORD baud = 9600, win::DWORD outSize = 4096, win::DWORD options = 0x03)
    {
        return OpenLine("\\\\.\\COM7", baud, 0, 8, 1, 4096, outSize, options);
    }

    // Bytes as the read thread queues them: blocks of up to 256.
    void Receive(const std::string& bytes)
    {
        for (std::size_t at = 0; at < bytes.size(); at += 256) {
            std::size_t n = std::min<std::size_t>(256, bytes.size() - at);
            auto* block = new TDataBuffer(256);
            std::memcpy(block->Buffer(), bytes.data() + at, n);
            block->Used = static_cast<std::int32_t>(n);
            InputQueue.Push(block);
        }
    }
    void Event(win::DWORD mask) { InputQueue.Push(new TStatusBuffer(mask)); }

    // ---- What the device saw ----
    std::string WrittenBytes()
    {
        std::lock_guard<std::mutex> hold(Record);
        return Written;
    }
    std::vector<int> EscapeCalls()
    {
        std::lock_guard<std::mutex> hold(Record);
        return Escapes;
    }
    int SetConfigCalls()
    {
        std::lock_guard<std::mutex> hold(Record);
        return static_cast<int>(ConfigsSet.size());
    }
    win::DCB LastConfig()
    {
        std::lock_guard<std::mutex> hold(Record);
        return DeviceConfig;
    }

    // ---- Script ----
    const bool RunThread;
    std::atomic<win::DWORD> PendingErrors{0};
    std::atomic<win::DWORD> ModemLines{0};
    std::atomic<int> ModemQueries{0};
    std::atomic<int> WriteAccepts{-1};  // -1: everything
    int EscapeResult = 0;
    std::intptr_t OpenResult = 1;
    win::DWORD OpenError = 0;
    win::DCB DeviceConfig;
    std::uint16_t BaseAddress = 0;

    // The dispatcher's own state, for assertions.
    using TKivBaseDispatcher::DispFull;
    using TKivBaseDispatcher::DispHead;
    using TKivBaseDispatcher::DispTail;
    using TKivBaseDispatcher::DtrOn;
    using TKivBaseDispatcher::ErrorBits;
    using TKivBaseDispatcher::LogClock;
    using TKivBaseDispatcher::NTPlatform;
    using TKivBaseDispatcher::NextTriggerSlot;
    using TKivBaseDispatcher::NotifyPos;
    using TKivBaseDispatcher::ReleaseClaimed;
    using TKivBaseDispatcher::TraceIndex;
    using TKivBaseDispatcher::TraceWrapped;
    using TKivBaseDispatcher::WindowHandlers;

    bool OutputFull()
    {
        win::TCriticalSectionLock hold(OutputLock);
        return OutFull;
    }

    // ---- Device operations ----
    int DeviceEscape(int code) override
    {
        std::lock_guard<std::mutex> hold(Record);
        Escapes.push_back(code);
        return EscapeResult;
    }
    int DeviceFlush(int queue) override
    {
        if (queue == 0) {
            win::TCriticalSectionLock hold(OutputLock);
            OutHead = OutTail = 0;
            OutFull = false;
            return 1;
        }
        if (queue == 1) InputQueue.Clear();
        return 1;
    }
    win::DWORD DeviceGetErrors(win::COMSTAT& status) override
    {
        status.cbOutQue = static_cast<win::DWORD>(RingBytesUsed());
        return PendingErrors.exchange(0);
    }
    int DeviceQueryEvents(int) override { return 0; }
    int DeviceGetConfig(win::DCB& config) override
    {
        std::lock_guard<std::mutex> hold(Record);
        config = DeviceConfig;
        return 0;
    }
    int DeviceRead(void* destination, int count) override
    {
        auto* out = static_cast<std::uint8_t*>(destination);
        int wanted = count;
        while (wanted > 0) {
            TIOBuffer* head = InputQueue.Peek();
            if (!head) break;
            auto* data = dynamic_cast<TDataBuffer*>(head);
            if (!data) {
                head->InUse = false;
                break;
            }
            int n = std::min(wanted, data->Unread());
            std::memcpy(out + (count - wanted), data->Buffer() + data->ReadPos,
                        static_cast<std::size_t>(n));
            data->ReadPos += n;
            wanted -= n;
            if (data->Unread() == 0)
                InputQueue.Pop();
            else
                head->InUse = false;
        }
        return count - wanted;
    }
    int DeviceSetConfig(const win::DCB& config) override
    {
        std::lock_guard<std::mutex> hold(Record);
        ConfigsSet.push_back(config);
        DeviceConfig = config;
        return 0;
    }
    int DeviceWrite(const void* source, int count) override
    {
        int accepts = WriteAccepts.load();
        int taken = accepts < 0 ? count : std::min(accepts, count);
        win::TCriticalSectionLock hold(OutputLock);
        const auto* bytes = static_cast<const std::uint8_t*>(source);
        for (int i = 0; i < taken; ++i) {
            OutRing[OutHead] = bytes[i];
            OutHead = detail::RingAdvance(OutHead, 1, OutSize);
        }
        std::lock_guard<std::mutex> record(Record);
        Written.append(reinterpret_cast<const char*>(source), static_cast<std::size_t>(taken));
        return taken;
    }
    bool DeviceWaitEvent(win::DWORD& mask) override
    {
        mask = 0;
        return true;
    }
    bool DeviceSetQueues(win::DWORD, win::DWORD) override { return true; }
    void StartThreads() override
    {
        win::TCriticalSectionLock hold(StateLock);
        ThreadsStarted = true;
        StopRequested = false;
        if (!RunThread) return;
        try {
            TThread::StartNew<TDispThread>(*this);
        } catch (...) {
            DispatchThread = nullptr;  // the thread object it named is gone
            throw;
        }
        win::WaitForSingleObject(ThreadAckEvent, 3000);
    }
    void StopThreads() override
    {
        if (ThreadsStarted) DeviceClose();
        for (win::HANDLE* event : {&WakeDispatchEvent, &StatusProcessedEvent, &ThreadAckEvent,
                                   &OutputReadyEvent, &ManualEvent, &OutputFlushEvent}) {
            if (*event && win::CloseHandle(*event)) *event = nullptr;
        }
    }
    int RingBytesUsed() override
    {
        win::TCriticalSectionLock hold(OutputLock);
        return static_cast<int>(detail::RingHeld(OutHead, OutTail, OutFull, OutSize));
    }
    int HeadBytesUnread() override
    {
        TIOBuffer* head = InputQueue.Peek();
        if (!head) return 0;
        int unread = 0;
        if (auto* data = dynamic_cast<TDataBuffer*>(head)) unread = data->Unread();
        head->InUse = false;
        return unread;
    }
    std::intptr_t DeviceOpen(const std::string&, win::DWORD, win::DWORD) override
    {
        if (OpenResult < 0) win::SetLastError(OpenError);
        return OpenResult;
    }
    int DeviceClose() override
    {
        {
            win::TCriticalSectionLock hold(StateLock);
            if (Stopping) return 0;
            Stopping = true;
        }
        if (ThreadsStarted) {
            StopRequested = true;
            // The test double's own wait: slices of 10 ms, serving messages.
            for (int slice = 0; DispatchThread.load() && slice < 1000; ++slice) {
                if (win::MsgWaitForMultipleObjects(0, nullptr, 10, win::QS_ALLINPUT) ==
                    win::WAIT_OBJECT_0)
                    win::ProcessOneMessage();
            }
            if (!RunThread) ThreadsStarted = false;
        }
        DeviceHandle = win::INVALID_HANDLE_VALUE;
        win::TCriticalSectionLock hold(StateLock);
        Stopping = false;
        return 0;
    }
    int DeviceYield() override { return 0; }

protected:
    win::DWORD DeviceModemStatus() override
    {
        ++ModemQueries;
        return ModemLines.load();
    }
    std::uint16_t DeviceBaseAddress() override { return BaseAddress; }

private:
    std::mutex Record;
    std::string Written;
    std::vector<int> Escapes;
    std::vector<win::DCB> ConfigsSet;
};

} // namespace kivo::test
