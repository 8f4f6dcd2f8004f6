// The I/O buffer kinds and the queue between device threads and dispatcher.

#include "serial/dispatch/io_queue.h"

#include "framework/exceptions.h"

#include <cstring>
#include <new>

namespace kivo {

using namespace kivo::win;

namespace {

constexpr const char* NoBufferMemory = "Insufficient memory to allocate I/O buffer.";

std::unique_ptr<std::uint8_t[]> ZeroFilled(std::int32_t size)
{
    if (size <= 0) return nullptr;
    std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(size)]());
    if (!block) throw Exception(NoBufferMemory);
    return block;
}

std::int32_t NotNegative(std::int32_t size)
{
    return size < 0 ? 0 : size;
}

} // namespace

TDataBuffer::TDataBuffer(std::int32_t capacity)
    : TIOBuffer(NotNegative(capacity)), Storage(ZeroFilled(capacity))
{
}

TLogBuffer::TLogBuffer(std::uint8_t entryType, std::uint16_t subType, std::uint32_t time,
                       std::uint32_t otherData, const void* data, std::int32_t length)
    : TIOBuffer(NotNegative(length)), EntryType(entryType), SubType(subType), Time(time),
      OtherData(otherData), PayloadBytes(ZeroFilled(length))
{
    if (PayloadBytes && data) std::memcpy(PayloadBytes.get(), data, static_cast<std::size_t>(length));
}

TIOQueue::TIOQueue() : SignalEvent(CreateEvent(false, false))
{
    if (SignalEvent == nullptr) throw EOutOfMemory();
}

TIOQueue::~TIOQueue()
{
    // Held buffers too: nobody can release them once the queue is gone.
    TBufferList left;
    {
        std::lock_guard hold(Lock);
        left.swap(Buffers);
        Bytes.store(0, std::memory_order_release);
        Items.store(0, std::memory_order_release);
    }
    CloseHandle(SignalEvent);
}

void TIOQueue::Push(std::unique_ptr<TIOBuffer> buffer)
{
    if (!buffer) return;
    // The list node is made before the lock is taken; only a splice happens under it.
    TBufferList node;
    try {
        node.push_back(std::move(buffer));
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory();
    }
    auto size = static_cast<std::uint32_t>(node.front()->Size());
    {
        std::lock_guard hold(Lock);
        Buffers.splice(Buffers.end(), node);
        Bytes.store(Bytes.load(std::memory_order_relaxed) + size, std::memory_order_release);
        Items.store(Items.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    SetEvent(SignalEvent);
}

TIOBuffer* TIOQueue::Peek()
{
    std::lock_guard hold(Lock);
    if (Buffers.empty()) return nullptr;
    TIOBuffer* head = Buffers.front().get();
    if (head->InUse.exchange(true)) return nullptr;
    return head;
}

std::unique_ptr<TIOBuffer> TIOQueue::Pop()
{
    TBufferList node;
    {
        std::lock_guard hold(Lock);
        if (Buffers.empty()) return nullptr;
        node.splice(node.end(), Buffers, Buffers.begin());
        auto size = static_cast<std::uint32_t>(node.front()->Size());
        Bytes.store(Bytes.load(std::memory_order_relaxed) - size, std::memory_order_release);
        Items.store(Items.load(std::memory_order_relaxed) - 1, std::memory_order_release);
    }
    Taken.store(true, std::memory_order_relaxed);
    return std::move(node.front());
}

void TIOQueue::Clear()
{
    TBufferList removed;
    {
        std::lock_guard hold(Lock);
        std::uint32_t bytes = Bytes.load(std::memory_order_relaxed);
        std::size_t items = Items.load(std::memory_order_relaxed);
        for (auto next = Buffers.begin(); next != Buffers.end();) {
            auto current = next++;
            if ((*current)->InUse.load()) continue;
            bytes -= static_cast<std::uint32_t>((*current)->Size());
            --items;
            removed.splice(removed.end(), Buffers, current);
        }
        Bytes.store(bytes, std::memory_order_release);
        Items.store(items, std::memory_order_release);
    }
}

DWORD TIOQueue::WaitForBuffer(DWORD milliseconds)
{
    if (Items.load(std::memory_order_acquire) > 0) return WAIT_OBJECT_0;
    return WaitForSingleObject(SignalEvent, milliseconds);
}

} // namespace kivo
