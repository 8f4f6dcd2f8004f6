#pragma once
// What the packet tests stand on: the test thread as the main thread with an
// application whose error boxes are recorded, ports whose dispatcher is the
// scripted one (no device; with RunThread false no threads either, so a test
// hands over each block of received bytes and runs the dispatch pass itself,
// and every packet event is raised right there), and packets configured as
// the price board window configures its own.

#include "framework/application.h"
#include "framework/component.h"
#include "serial/packet/data_packet.h"
#include "serial/packet/packet_manager.h"
#include "serial/port/com_port.h"
#include "tests/dispatch/scripted_dispatcher.h"
#include "tests/framework/recording_services.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace kivo::test {

class TScriptedPort : public TKivComPort {
public:
    using TKivComPort::TKivComPort;

    std::unique_ptr<TKivBaseDispatcher> CreateDispatcher() override;

    // block arrives as one read from the device; then one dispatch pass.
    void Receive(const std::string& block);
    // One timer and status pass, as the dispatch thread runs after each wait.
    void RunTimers();

    bool RunThread = false;
    ScriptedDispatcher* Line = nullptr;
};

// The events one packet raised, in order.
struct TPacketRecord {
    std::vector<std::string> Strings;  // OnStringPacket
    std::vector<std::string> Blocks;   // OnPacket, as bytes
    int Timeouts = 0;
};

class PacketRig : public ::testing::Test {
protected:
    PacketRig();
    ~PacketRig() override;

    // A port on COM7 (the scripted device answers any number), not yet open.
    TScriptedPort* NewPort();
    // A packet as the window stores its own: enabled, "@" to "*", size 0,
    // attached to port, recording its events into record.
    TKivDataPacket* NewPacket(TScriptedPort* port, TPacketRecord& record);
    // Records every event of packet into record.
    static void Record(TKivDataPacket* packet, TPacketRecord& record);

    void OpenPort(TScriptedPort* port);
    // Serves posted messages (a manager's self-release) and posted calls.
    void Pump();
    std::vector<std::string> ErrorsShown();

    TRecordingServices Services;
    TApplication App{Services};
    TApplicationScope Scope{App};
    // Owns the ports and packets of a test.
    TComponent Form{nullptr};
    TScriptedPort* Port = nullptr;
    TPacketRecord Got;
    TKivDataPacket* Packet = nullptr;
};

// The sign's status packet: 51 characters from "@ALIVE-" to "*".
inline const std::string StatusFrame = "@ALIVE-1234 0999 0000 1500 2000 3000 4000 5000 OK1*";

} // namespace kivo::test
