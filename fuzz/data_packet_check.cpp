// The data packet case: decode settings and blocks, run the real packet on an
// in-memory port, compare with the yardstick framer.

#include "fuzz/data_packet_check.h"

#include "framework/application.h"
#include "framework/component.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/shown.h"
#include "platform/window.h"
#include "serial/dispatch/io_queue.h"
#include "serial/errors/exceptions.h"
#include "serial/packet/data_packet.h"
#include "serial/packet/packet_manager.h"
#include "serial/port/com_port.h"
#include "tests/dispatch/scripted_dispatcher.h"
#include "tests/framework/recording_services.h"

#include <cstring>
#include <memory>

namespace kivo::fuzz {

namespace {

// A port whose dispatcher has no device and no threads: each block arrives
// as one read and is dispatched at once on this thread.
class TMemoryPort : public TKivComPort {
public:
    using TKivComPort::TKivComPort;

    std::unique_ptr<TKivBaseDispatcher> CreateDispatcher() override
    {
        auto line = std::make_unique<test::ScriptedDispatcher>(false, this);
        Line = line.get();
        return line;
    }

    void Receive(const std::string& block)
    {
        auto* buffer = new TDataBuffer(static_cast<std::int32_t>(block.size()));
        std::memcpy(buffer->Buffer(), block.data(), block.size());
        buffer->Used = static_cast<std::int32_t>(block.size());
        Line->InputQueue.Push(buffer);
        Line->DispatchPass();
    }

    test::ScriptedDispatcher* Line = nullptr;
};

// Bytes drawn from a few that matter to the framing, so that starts, ends,
// wildcards and escapes meet often.
constexpr std::string_view FramingBytes = "@*ab?\\AB";

char Drawn(std::uint8_t raw, bool few)
{
    return few ? FramingBytes[raw % FramingBytes.size()] : static_cast<char>(raw);
}

std::string DrawnText(TFuzzInput& in, unsigned maxLength, bool few)
{
    std::string text = in.Text(maxLength);
    for (char& c : text) c = Drawn(static_cast<std::uint8_t>(c), few);
    return text;
}

std::string Described(const TPacketSettings& s)
{
    std::string text = s.AnyDataStart ? "any data" : "start " + Shown(s.StartString);
    if (s.EndByString) text += ", end " + Shown(s.EndString);
    if (s.EndBySize) text += ", size " + std::to_string(s.PacketSize);
    if (!s.EndByString && !s.EndBySize) text += ", no end";
    text += s.IncludeStrings ? ", strings included" : ", strings left out";
    text += s.IgnoreCase ? ", ignoring case" : ", exact case";
    if (!s.AutoEnable) text += ", no re-arming";
    return text;
}

} // namespace

TPacketOutcome RunDataPacket(const TPacketSettings& settings, const std::vector<std::string>& blocks)
{
    TPacketOutcome outcome;
    win::SetMainThread();
    test::TRecordingServices services;
    TApplication application{services};
    TApplicationScope scope{application};
    {
        TComponent form{nullptr};
        auto* port = new TMemoryPort(&form);
        port->SetComNumber(7);
        auto* packet = new TKivDataPacket(&form);
        packet->SetComPort(port);
        port->SetOpen(true);
        if (!port->Open()) {
            outcome.Trouble = "the in-memory port did not open";
            return outcome;
        }
        packet->SetStartCond(settings.AnyDataStart ? TPacketStartCond::scAnyData
                                                   : TPacketStartCond::scString);
        packet->SetStartString(settings.StartString);
        TPacketEndSet ends;
        if (settings.EndByString) ends = ends.With(TPacketEndCond::ecString);
        if (settings.EndBySize) ends = ends.With(TPacketEndCond::ecPacketSize);
        packet->SetEndCond(ends);
        packet->SetEndString(settings.EndString);
        packet->SetPacketSize(settings.PacketSize);
        packet->SetIncludeStrings(settings.IncludeStrings);
        packet->SetIgnoreCase(settings.IgnoreCase);
        packet->SetAutoEnable(settings.AutoEnable);
        packet->SetTimeOut(settings.TimeOut);
        std::vector<std::string> blocksSeen;
        packet->OnPacket = TPacketNotifyEvent::FromFunction([&](TObject*, const void* data, int size) {
            blocksSeen.emplace_back(static_cast<const char*>(data), static_cast<std::size_t>(size));
        });
        packet->OnStringPacket = TStringPacketNotifyEvent::FromFunction(
            [&](TObject*, const std::string& text) { outcome.Packets.push_back(text); });
        try {
            packet->SetEnabled(true);
        } catch (const EKIVException& e) {
            outcome.ArmError = e.ErrorCode;
        }
        if (outcome.ArmError != 0 && packet->Enabled())
            outcome.Trouble = "enabling raised " + std::to_string(outcome.ArmError) + " but left it enabled";
        for (const std::string& block : blocks)
            if (!block.empty()) port->Receive(block);
        if (outcome.Trouble.empty() && blocksSeen != outcome.Packets)
            outcome.Trouble = "OnPacket and OnStringPacket were given different bytes";
        // The form frees the packet and the port; the manager then releases
        // itself through its posted message.
    }
    for (int round = 0; round < 100; ++round) {
        bool served = win::ProcessOneMessage() != win::FALSE;
        if (services.RunPosted() == 0 && !served) break;
    }
    if (outcome.Trouble.empty() && !services.Boxes.empty())
        outcome.Trouble = "the error handler was shown " + Shown(services.Boxes.front().Text);
    if (outcome.Trouble.empty() && PacketManagers().Count() != 0)
        outcome.Trouble = "a packet manager outlived its packet";
    return outcome;
}

std::string CheckDataPacketCase(const std::uint8_t* data, std::size_t size, TPacketRunner runner)
{
    TFuzzInput in(data, size);
    std::uint8_t flags = in.Byte();
    std::uint8_t more = in.Byte();
    TPacketSettings s;
    s.AnyDataStart = flags & 0x01;
    s.EndByString = flags & 0x02;
    s.EndBySize = flags & 0x04;
    s.IncludeStrings = !(flags & 0x08);
    s.IgnoreCase = !(flags & 0x10);
    s.AutoEnable = !(flags & 0x20);
    s.TimeOut = (flags & 0x40) ? 2184 : 0;
    bool few = !(flags & 0x80);
    s.PacketSize = static_cast<int>(more % 43) - 2;
    s.StartString = DrawnText(in, 6, few);
    s.EndString = DrawnText(in, 6, few);

    std::vector<unsigned> cuts(in.Range(0, 7));
    for (unsigned& cut : cuts) cut = in.Range(0, 1023);
    std::string stream;
    for (char c : in.Rest()) stream += Drawn(static_cast<std::uint8_t>(c), few);
    std::vector<std::string> blocks;
    std::size_t at = 0;
    for (unsigned cut : cuts) {
        std::size_t n = std::min<std::size_t>(cut, stream.size() - at);
        blocks.push_back(stream.substr(at, n));
        at += n;
    }
    blocks.push_back(stream.substr(at));

    TPacketOutcome want = FramePackets(s, stream);
    TPacketOutcome got = runner(s, blocks);
    std::string what = Described(s) + ", stream " + Shown(stream, 160) + " in " + std::to_string(blocks.size())
                       + " blocks: ";
    if (!got.Trouble.empty()) return what + got.Trouble;
    if (got.ArmError != want.ArmError)
        return what + "enabling gave " + std::to_string(got.ArmError) + ", expected " + std::to_string(want.ArmError);
    for (std::size_t i = 0; i < std::max(got.Packets.size(), want.Packets.size()); ++i) {
        if (i >= got.Packets.size())
            return what + "packet " + std::to_string(i + 1) + " " + Shown(want.Packets[i]) + " never came";
        if (i >= want.Packets.size())
            return what + "extra packet " + std::to_string(i + 1) + " " + Shown(got.Packets[i]);
        if (got.Packets[i] != want.Packets[i])
            return what + "packet " + std::to_string(i + 1) + " is " + Shown(got.Packets[i]) + ", expected "
                   + Shown(want.Packets[i]);
    }
    return {};
}

} // namespace kivo::fuzz
