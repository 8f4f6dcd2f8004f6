#pragma once
// The heap buffers that device threads and the dispatcher hand to one another,
// and the locked first-in first-out queue that carries them.

#include "platform/sync.h"
#include "platform/win_types.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>

namespace kivo {

// A queued object. Size is what it adds to its queue's QueuedBytes and never
// changes, so the queue's count cannot drift. InUse is set by TIOQueue::Peek
// and cleared by the holder when it leaves the buffer at the head; a held
// buffer survives TIOQueue::Clear.
class TIOBuffer {
public:
    virtual ~TIOBuffer() = default;
    TIOBuffer(const TIOBuffer&) = delete;
    TIOBuffer& operator=(const TIOBuffer&) = delete;

    std::int32_t Size() const noexcept { return BufferSize; }

    std::atomic<bool> InUse{false};

protected:
    explicit TIOBuffer(std::int32_t size) noexcept : BufferSize(size) {}

private:
    std::int32_t BufferSize;
};

// A block of received bytes. Buffer() holds Size() zero-filled bytes; the read
// thread fills Used of them, the reader advances ReadPos up to Used.
// Creation throws kivo::Exception "Insufficient memory to allocate I/O
// buffer." when the block cannot be allocated.
class TDataBuffer final : public TIOBuffer {
public:
    explicit TDataBuffer(std::int32_t capacity);

    std::uint8_t* Buffer() noexcept { return Storage.get(); }
    const std::uint8_t* Buffer() const noexcept { return Storage.get(); }
    std::int32_t Unread() const noexcept { return Used - ReadPos; }

    std::int32_t Used = 0;
    std::int32_t ReadPos = 0;

private:
    std::unique_ptr<std::uint8_t[]> Storage;
};

// One device event mask from the status thread; contributes no bytes.
class TStatusBuffer final : public TIOBuffer {
public:
    TStatusBuffer() noexcept : TIOBuffer(0) {}
    explicit TStatusBuffer(std::uint32_t status) noexcept : TIOBuffer(0), Status(status) {}

    std::uint32_t Status = 0;
};

// One dispatch-log entry with a private copy of its data bytes; Size() is
// their count and Payload() is nullptr when there are none. A null data
// pointer with a positive length gives zero bytes of that length. Throws like
// TDataBuffer when the copy cannot be allocated.
class TLogBuffer final : public TIOBuffer {
public:
    TLogBuffer(std::uint8_t entryType, std::uint16_t subType, std::uint32_t time,
               std::uint32_t otherData, const void* data, std::int32_t length);

    const std::uint8_t* Payload() const noexcept { return PayloadBytes.get(); }

    const std::uint8_t EntryType;
    const std::uint16_t SubType;
    // The log stamps it again as it queues the entry, so that times follow
    // the order of the table.
    std::uint32_t Time;
    const std::uint32_t OtherData;

private:
    std::unique_ptr<std::uint8_t[]> PayloadBytes;
};

// A FIFO of buffers, oldest first, under its own lock; any thread may call
// any operation. The queue owns what was pushed until Pop hands it to the
// caller; Clear and destruction free what they remove (destruction frees
// everything, held buffers too). Buffers are freed outside the lock and no
// operation calls other code while holding it.
//
// Consumers follow peek-then-release: Peek marks the head InUse and returns
// it (nothing when empty or already held); the consumer then either clears
// InUse and leaves it at the head, or Pops it.
class TIOQueue {
public:
    // Throws kivo::EOutOfMemory when the signal event cannot be created.
    TIOQueue();
    ~TIOQueue();
    TIOQueue(const TIOQueue&) = delete;
    TIOQueue& operator=(const TIOQueue&) = delete;

    // Appends at the tail and sets the signal; a null buffer is ignored.
    // Throws kivo::EOutOfMemory (the buffer is then freed) when the queue
    // cannot grow.
    void Push(std::unique_ptr<TIOBuffer> buffer);
    void Push(TIOBuffer* buffer) { Push(std::unique_ptr<TIOBuffer>(buffer)); }

    TIOBuffer* Peek();
    // Removes the head whether or not it is held; nullptr when empty.
    std::unique_ptr<TIOBuffer> Pop();
    // Frees every buffer not held through Peek; held ones stay, in order.
    void Clear();

    // WAIT_OBJECT_0 at once while the queue holds a buffer (even a held one),
    // so an earlier consumed signal never hides queued buffers; otherwise the
    // result of waiting on the signal up to milliseconds. A consumer that
    // leaves buffers queued must not loop on this alone.
    win::DWORD WaitForBuffer(win::DWORD milliseconds);

    // Both are read without the lock; QueuedBytes is the sum of Size() over
    // the buffers present.
    std::uint32_t QueuedBytes() const noexcept { return Bytes.load(std::memory_order_acquire); }
    std::size_t Count() const noexcept { return Items.load(std::memory_order_acquire); }

    // Auto-reset, set by every push; for waits on several events at once.
    win::HANDLE Signal() const noexcept { return SignalEvent; }

    // Whether a Pop took a buffer since the last time this was asked.
    bool TakenSinceLastLook() noexcept { return Taken.exchange(false, std::memory_order_relaxed); }

private:
    using TBufferList = std::list<std::unique_ptr<TIOBuffer>>;

    win::TBriefMutex Lock;
    TBufferList Buffers;
    std::atomic<std::uint32_t> Bytes{0};
    std::atomic<std::size_t> Items{0};
    std::atomic<bool> Taken{false};
    win::HANDLE SignalEvent;
};

} // namespace kivo
