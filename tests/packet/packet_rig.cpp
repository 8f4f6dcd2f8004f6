// The packet tests' rig: scripted ports, recorded events, the pump.

#include "tests/packet/packet_rig.h"

#include "platform/window.h"
#include "serial/dispatch/io_queue.h"

#include <cstring>

namespace kivo::test {

std::unique_ptr<TKivBaseDispatcher> TScriptedPort::CreateDispatcher()
{
    auto line = std::make_unique<ScriptedDispatcher>(RunThread, this);
    Line = line.get();
    return line;
}

void TScriptedPort::Receive(const std::string& block)
{
    ASSERT_NE(Line, nullptr) << "the port has not been opened";
    auto* buffer = new TDataBuffer(static_cast<std::int32_t>(block.size()));
    std::memcpy(buffer->Buffer(), block.data(), block.size());
    buffer->Used = static_cast<std::int32_t>(block.size());
    Line->InputQueue.Push(buffer);
    if (!RunThread) Line->DispatchPass();
}

void TScriptedPort::RunTimers()
{
    if (Line && !RunThread) Line->TimerStatusPass();
}

PacketRig::PacketRig()
{
    win::SetMainThread();
    Port = NewPort();
    Packet = NewPacket(Port, Got);
}

PacketRig::~PacketRig()
{
    while (!Form.Components().empty()) delete Form.Components().back();
    Pump();
    EXPECT_EQ(PacketManagers().Count(), 0u) << "a packet manager outlived its packets";
}

TScriptedPort* PacketRig::NewPort()
{
    auto* port = new TScriptedPort(&Form);
    port->SetComNumber(7);
    return port;
}

void PacketRig::Record(TKivDataPacket* packet, TPacketRecord& record)
{
    packet->OnStringPacket = TStringPacketNotifyEvent::FromFunction(
        [&record](TObject*, const std::string& data) { record.Strings.push_back(data); });
    packet->OnPacket = TPacketNotifyEvent::FromFunction([&record](TObject*, const void* data, int size) {
        record.Blocks.emplace_back(static_cast<const char*>(data), static_cast<std::size_t>(size));
    });
    packet->OnTimeout = TNotifyEvent::FromFunction([&record](TObject*) { ++record.Timeouts; });
}

TKivDataPacket* PacketRig::NewPacket(TScriptedPort* port, TPacketRecord& record)
{
    auto* packet = new TKivDataPacket(&Form);
    packet->BeginLoading();
    packet->SetEnabled(true);
    packet->SetStartString("@");
    packet->SetEndCond({TPacketEndCond::ecString});
    packet->SetEndString("*");
    packet->SetPacketSize(0);
    packet->SetComPort(port);
    Record(packet, record);
    packet->EndLoading();
    return packet;
}

void PacketRig::OpenPort(TScriptedPort* port)
{
    port->SetOpen(true);
    ASSERT_TRUE(port->Open());
}

void PacketRig::Pump()
{
    for (int round = 0; round < 1000; ++round) {
        bool ran = win::ProcessOneMessage() != win::FALSE;
        ran = Services.RunPosted() > 0 || ran;
        if (!ran) return;
    }
}

std::vector<std::string> PacketRig::ErrorsShown()
{
    Pump();
    return Services.BoxTexts();
}

} // namespace kivo::test
