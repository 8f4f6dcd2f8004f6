// Two hundred thousand numbered status packets from the sign's end of a
// pseudo-terminal into the window's data packet: every one arrives once, in
// order and intact, and nothing piles up on the way.

#include "app/board_link.h"
#include "serial/packet/packet_manager.h"
#include "tests/app/window_fixture.h"
#include "tests/soak/soak_rig.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

namespace tarvio::test {
namespace {

using namespace std::chrono_literals;

constexpr int PacketCount = 200000;
// The real handler (check, labels, save) runs on every this many packets;
// the rest only check and count, so the file is not rewritten 200,000 times.
constexpr int HandlerEvery = 10000;
constexpr std::size_t HeapSlack = 256 * 1024;

// Packet n carries n in its first two price fields and, so that a byte
// changed anywhere shows, values derived from n in the other six and in the
// status code.
std::string NumberedPacket(int n)
{
    char text[64];
    std::snprintf(text, sizeof text, "@ALIVE-%04d %04d %04d %04d %04d %04d %04d %04d %03d*",
                  n / 10000, n % 10000, (n * 7) % 10000, (n * 13) % 10000, (n * 17) % 10000,
                  (n * 19) % 10000, (n * 23) % 10000, (n * 29) % 10000, n % 1000);
    return text;
}

// The packet's number, or -1 when it does not read back as NumberedPacket.
int NumberOf(const std::string& packet)
{
    std::optional<TStatusReport> report = CheckStatusPacket(packet);
    if (!report || packet.size() != 51) return -1;
    const int n = std::stoi(report->Prices[0]) * 10000 + std::stoi(report->Prices[1]);
    return NumberedPacket(n) == packet ? n : -1;
}

// The sign's end of the line as com7, written from its own thread.
class SignWriter {
public:
    ~SignWriter()
    {
        Stop = true;
        if (Writer.joinable()) Writer.join();
    }

    // The packets go out as one stream in writes of random sizes, so that
    // packets are split at every possible place and blocks hold several.
    void Start(int count)
    {
        Writer = std::thread([this, count] {
            std::mt19937 random(20240305);
            std::uniform_int_distribution<std::size_t> size(1, 4096);
            std::string pending;
            for (int n = 0; n < count; ++n) {
                pending += NumberedPacket(n);
                std::size_t cut = size(random);
                if (pending.size() < cut && n + 1 < count) continue;
                if (Stop || !Sign.Line.WriteWithin(pending, 10s)) return;
                pending.clear();
            }
        });
    }

private:
    TSignEnd Sign{7};
    std::atomic<bool> Stop{false};
    std::thread Writer;
};

class PacketStream : public WindowTest {
protected:
    // The port goes before its line.
    void TearDown() override { Form.reset(); }

    SignWriter Sign;
};

TEST_F(PacketStream, TwoHundredThousandPacketsArriveOnceInOrderAndIntact)
{
    TBoardIni ini;
    ini.Port = "7";
    WriteIni(ini);
    TForm1& form = ShowForm();
    ASSERT_TRUE(form.Port1->Open());

    int received = 0;
    int handled = 0;
    std::string firstFault;
    form.KivDataPacket1->OnStringPacket = kivo::TStringPacketNotifyEvent::FromFunction(
        [&](kivo::TObject* sender, const std::string& packet) {
            const int n = NumberOf(packet);
            if (n != received && firstFault.empty())
                firstFault = "packet " + std::to_string(received) + " came as \"" + packet + "\"";
            ++received;
            if (received % HandlerEvery == 0) {
                form.KivDataPacket1StringPacket(sender, packet);
                ++handled;
            }
        });
    const kivo::test::TProcessUsage before = kivo::test::MeasureProcess();

    const auto start = std::chrono::steady_clock::now();
    Sign.Start(PacketCount);
    const bool all = ServeUntil(Services, 240s, [&] { return received >= PacketCount; });
    const auto took = std::chrono::steady_clock::now() - start;
    // Anything more would be a duplicate; give it a moment to show.
    ServeUntil(Services, 100ms, [] { return false; });

    ASSERT_TRUE(all) << received << " of " << PacketCount << " packets arrived";
    EXPECT_EQ(received, PacketCount);
    EXPECT_EQ(firstFault, "");
    EXPECT_EQ(handled, PacketCount / HandlerEvery);
    RecordProperty("packets_per_second",
                   static_cast<int>(PacketCount * 1000.0 /
                                    std::chrono::duration_cast<std::chrono::milliseconds>(took)
                                        .count()));

    // The last packet the real handler saw is on show and in the file.
    const std::string last = NumberedPacket(PacketCount - 1);
    EXPECT_EQ(form.SB1->PanelText(0), "Dados OK");
    EXPECT_EQ(form.L1->text().toStdString(), last.substr(7, 4));
    EXPECT_EQ(form.L2->text().toStdString(), last.substr(12, 4));
    EXPECT_EQ(form.SB1->PanelText(1).toStdString(), last.substr(47, 3));
    EXPECT_TRUE(ErrorsShown().empty());

    // Nothing is kept once a packet has been delivered.
    EXPECT_EQ(form.KivDataPacket1->Manager()->State().CollectedCount, 0);
    const kivo::test::TProcessUsage after = kivo::test::MeasureProcess();
    SCOPED_TRACE(::testing::Message() << "before: " << before << "; after: " << after);
    if (before.HeapInUse && after.HeapInUse) {
        EXPECT_LE(*after.HeapInUse, *before.HeapInUse + HeapSlack);
    }
}

} // namespace
} // namespace tarvio::test
