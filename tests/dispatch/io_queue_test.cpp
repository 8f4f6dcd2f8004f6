// The I/O buffers and the queue: peek-then-release, Clear with a held head,
// the wait that never misses queued buffers, producers against a consumer,
// and the byte count after random sequences.

#include "serial/dispatch/io_queue.h"

#include "framework/exceptions.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <deque>
#include <new>
#include <random>
#include <thread>
#include <typeinfo>

using namespace kivo;
using namespace kivo::win;
using Clock = std::chrono::steady_clock;

namespace {

thread_local bool FailNextArrayAllocation = false;

// A buffer that counts its live instances, to see what the queue frees.
class CountedBuffer : public TIOBuffer {
public:
    explicit CountedBuffer(std::int32_t size) : TIOBuffer(size) { ++Live; }
    ~CountedBuffer() override { --Live; }
    static inline int Live = 0;
};

std::unique_ptr<TDataBuffer> DataOf(const std::string& bytes)
{
    auto buffer = std::make_unique<TDataBuffer>(256);
    std::memcpy(buffer->Buffer(), bytes.data(), bytes.size());
    buffer->Used = static_cast<std::int32_t>(bytes.size());
    return buffer;
}

long long MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

} // namespace

// Lets a test make the next nothrow array allocation of its own thread fail.
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    if (FailNextArrayAllocation) {
        FailNextArrayAllocation = false;
        return nullptr;
    }
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

TEST(TIOBuffers, DataIsZeroFilledAndLogKeepsAPrivateCopyOrNothing)
{
    TDataBuffer data(256);
    EXPECT_EQ(data.Size(), 256);
    EXPECT_EQ(data.Used, 0);
    std::array<std::uint8_t, 256> zeros{};
    EXPECT_EQ(std::memcmp(data.Buffer(), zeros.data(), zeros.size()), 0);
    char bytes[] = "abc";
    TLogBuffer entry(9, 14, 1234, 7, bytes, 3);
    bytes[0] = 'X';
    ASSERT_NE(entry.Payload(), nullptr);
    EXPECT_EQ(std::memcmp(entry.Payload(), "abc", 3), 0);
    TIOQueue queue;
    queue.Push(std::make_unique<TLogBuffer>(1, 0, 0, 0, "ignored", 0));
    EXPECT_EQ(queue.QueuedBytes(), 0u);
    EXPECT_EQ(static_cast<TLogBuffer*>(queue.Pop().get())->Payload(), nullptr);
}

TEST(TIOBuffers, FailedAllocationRaisesTheBaseExceptionWithItsText)
{
    for (int kind = 0; kind < 2; ++kind) {
        FailNextArrayAllocation = true;
        try {
            if (kind == 0) TDataBuffer buffer(256);
            else TLogBuffer entry(1, 0, 0, 0, "abc", 3);
            ADD_FAILURE() << "no exception for kind " << kind;
        } catch (const kivo::Exception& error) {
            EXPECT_EQ(typeid(error), typeid(kivo::Exception));
            EXPECT_EQ(error.Message(), "Insufficient memory to allocate I/O buffer.");
        }
        FailNextArrayAllocation = false;
    }
}

TEST(TIOQueue, PeekHoldsTheHeadAndPopTakesItAnyway)
{
    TIOQueue queue;
    EXPECT_EQ(queue.Peek(), nullptr);
    queue.Push(DataOf("one"));
    queue.Push(DataOf("second!"));
    queue.Push(static_cast<TIOBuffer*>(nullptr));
    EXPECT_EQ(queue.Count(), 2u);
    TIOBuffer* head = queue.Peek();
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(queue.Peek(), nullptr) << "second peek without release";
    head->InUse = false;
    EXPECT_EQ(queue.Peek(), head);
    EXPECT_EQ(queue.Pop().get(), head);
    EXPECT_EQ(queue.QueuedBytes(), 256u);
    EXPECT_EQ(static_cast<TDataBuffer*>(queue.Pop().get())->Used, 7);
    EXPECT_EQ(queue.Pop(), nullptr);
    EXPECT_EQ(queue.QueuedBytes(), 0u);
}

TEST(TIOQueue, ClearKeepsTheHeldHeadAndDestructionFreesEverything)
{
    CountedBuffer::Live = 0;
    {
        TIOQueue queue;
        queue.Push(std::make_unique<CountedBuffer>(10));
        queue.Push(std::make_unique<CountedBuffer>(20));
        queue.Push(std::make_unique<TStatusBuffer>(0x40));
        queue.Push(new CountedBuffer(30));
        TIOBuffer* held = queue.Peek();
        queue.Clear();
        EXPECT_EQ(CountedBuffer::Live, 1);
        EXPECT_EQ(queue.Count(), 1u);
        EXPECT_EQ(queue.QueuedBytes(), 10u);
        EXPECT_EQ(queue.Peek(), nullptr);
        held->InUse = false;
        queue.Clear();
        EXPECT_EQ(CountedBuffer::Live, 0);
        for (int i = 0; i < 3; ++i) queue.Push(std::make_unique<CountedBuffer>(i));
        ASSERT_NE(queue.Peek(), nullptr);
    }
    EXPECT_EQ(CountedBuffer::Live, 0) << "held buffers must not outlive the queue";
}

TEST(TIOQueue, WaitReturnsAtOnceWhileBuffersAreQueuedEvenAfterTheSignalWasTaken)
{
    TIOQueue queue;
    auto start = Clock::now();
    EXPECT_EQ(queue.WaitForBuffer(50), WAIT_TIMEOUT);
    EXPECT_GE(MillisecondsSince(start), 50);
    std::thread producer([&] { queue.Push(std::make_unique<TStatusBuffer>(8)); });
    EXPECT_EQ(queue.WaitForBuffer(5000), WAIT_OBJECT_0);
    producer.join();
    WaitForSingleObject(queue.Signal(), 0);  // take the push's signal if the wait left it
    ASSERT_EQ(WaitForSingleObject(queue.Signal(), 0), WAIT_TIMEOUT);
    start = Clock::now();
    EXPECT_EQ(queue.WaitForBuffer(50), WAIT_OBJECT_0);
    ASSERT_NE(queue.Peek(), nullptr);  // held still counts as queued
    EXPECT_EQ(queue.WaitForBuffer(50), WAIT_OBJECT_0);
    EXPECT_LT(MillisecondsSince(start), 25);
}

TEST(TIOQueue, TwoProducersAndAConsumerLoseAndReorderNothing)
{
    // Like the read and status threads: data from one, event masks from the other.
    constexpr std::uint32_t perProducer = 3000;
    TIOQueue queue;
    std::thread reader([&] {
        for (std::uint32_t i = 0; i < perProducer; ++i) {
            auto buffer = std::make_unique<TDataBuffer>(256);
            std::memcpy(buffer->Buffer(), &i, sizeof i);
            buffer->Used = sizeof i;
            queue.Push(std::move(buffer));
        }
    });
    std::thread status([&] {
        for (std::uint32_t i = 0; i < perProducer; ++i) queue.Push(std::make_unique<TStatusBuffer>(i));
    });

    std::uint32_t nextData = 0, nextStatus = 0;
    bool ordered = true;
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while ((nextData < perProducer || nextStatus < perProducer) && Clock::now() < deadline) {
        if (queue.WaitForBuffer(100) != WAIT_OBJECT_0) continue;
        TIOBuffer* head = queue.Peek();
        if (!head) continue;
        if (auto* data = dynamic_cast<TDataBuffer*>(head)) {
            std::uint32_t sequence;
            std::memcpy(&sequence, data->Buffer(), sizeof sequence);
            ordered = ordered && sequence == nextData;
            ++nextData;
        } else if (auto* event = dynamic_cast<TStatusBuffer*>(head)) {
            ordered = ordered && event->Status == nextStatus;
            ++nextStatus;
        }
        EXPECT_EQ(queue.Pop().get(), head);
    }
    reader.join();
    status.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(nextData, perProducer);
    EXPECT_EQ(nextStatus, perProducer);
    EXPECT_EQ(queue.Count(), 0u);
    EXPECT_EQ(queue.QueuedBytes(), 0u);
}

TEST(TIOQueue, ClearFromAnotherThreadNeverFreesTheHeldHead)
{
    TIOQueue queue;
    for (int round = 0; round < 200; ++round) {
        queue.Push(DataOf("held"));
        for (int i = 0; i < 5; ++i) queue.Push(DataOf("other"));
        auto* head = static_cast<TDataBuffer*>(queue.Peek());
        ASSERT_NE(head, nullptr);
        std::thread flusher([&] { queue.Clear(); });
        // Touching the held bytes while Clear runs: a freed head shows up in
        // the sanitizer builds.
        int sum = 0;
        for (int pass = 0; pass < 50; ++pass) sum += head->Buffer()[pass % 4];
        flusher.join();
        EXPECT_GT(sum, 0);
        EXPECT_EQ(queue.Count(), 1u);
        EXPECT_EQ(queue.Pop().get(), head);
    }
    EXPECT_EQ(queue.QueuedBytes(), 0u);
}

TEST(TIOQueue, QueuedBytesIsTheSumOfSizesAfterRandomSequences)
{
    std::mt19937 random(20240611);
    for (int sequence = 0; sequence < 20; ++sequence) {
        TIOQueue queue;
        std::deque<std::pair<TIOBuffer*, std::int32_t>> model;  // what should be queued, oldest first
        TIOBuffer* held = nullptr;
        for (int step = 0; step < 400; ++step) {
            auto size = static_cast<std::int32_t>(random() % 300);
            std::unique_ptr<TIOBuffer> pushed;
            switch (random() % 7) {
            case 0:
            case 1: pushed = std::make_unique<TDataBuffer>(size); break;
            case 2: pushed = std::make_unique<TLogBuffer>(2, 3, 4, 5, nullptr, size % 40); break;
            case 3: pushed = std::make_unique<TStatusBuffer>(7u); break;
            case 4: {
                auto popped = queue.Pop();
                ASSERT_EQ(popped.get(), model.empty() ? nullptr : model.front().first);
                if (!model.empty()) model.pop_front();
                if (held == popped.get()) held = nullptr;
                break;
            }
            case 5: {
                TIOBuffer* head = queue.Peek();
                ASSERT_EQ(head, model.empty() || held ? nullptr : model.front().first);
                if (head && random() % 2) head->InUse = false;
                else if (head) held = head;
                break;
            }
            default:
                queue.Clear();
                std::erase_if(model, [&](const auto& entry) { return entry.first != held; });
            }
            if (pushed) {
                model.emplace_back(pushed.get(), pushed->Size());
                queue.Push(std::move(pushed));
            }
            std::uint32_t sum = 0;
            for (const auto& entry : model) sum += static_cast<std::uint32_t>(entry.second);
            ASSERT_EQ(queue.QueuedBytes(), sum) << "sequence " << sequence << " step " << step;
            ASSERT_EQ(queue.Count(), model.size()) << "sequence " << sequence << " step " << step;
        }
        for (std::size_t left = model.size(); left > 0; --left) queue.Pop();
        EXPECT_EQ(queue.QueuedBytes(), 0u);
    }
}
