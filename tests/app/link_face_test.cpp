// The data packet's stand-in body delivers as the face promises the window:
// only while armed, with handler failures going to the general error handler.

#include "framework/exceptions.h"
#include "platform/window.h"
#include "serial/packet/data_packet.h"
#include "serial/port/com_port.h"
#include "tests/app/link_double.h"
#include "tests/framework/recording_services.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

class DataPacketFace : public ::testing::Test {
protected:
    void SetUp() override
    {
        win::SetMainThread();
        Line.Attach(3);
        Port->SetComNumber(3);
        Packet->SetEnabled(true);
        Packet->SetComPort(Port);
        Packet->OnStringPacket = TStringPacketNotifyEvent::FromFunction(
            [this](TObject* sender, const std::string& data) {
                EXPECT_EQ(sender, Packet);
                Received.push_back(data);
                if (Throw) throw Exception("Unable to write to x.ini");
            });
    }

    tarvio::test::TSignLine Line;
    test::TRecordingServices Services;
    TApplication App{Services};
    TApplicationScope Scope{App};
    TComponent Form{nullptr};
    TKivComPort* Port = new TKivComPort(&Form);
    TKivDataPacket* Packet = new TKivDataPacket(&Form);
    std::vector<std::string> Received;
    bool Throw = false;
};

TEST_F(DataPacketFace, DeliversOnlyWhileArmed)
{
    EXPECT_FALSE(Packet->DeliverStringPacket("@closed*")) << "port closed";
    Port->SetOpen(true);
    EXPECT_TRUE(Packet->DeliverStringPacket("@open*"));
    Packet->SetEnabled(false);
    EXPECT_FALSE(Packet->DeliverStringPacket("@disabled*"));
    EXPECT_EQ(Received, std::vector<std::string>{"@open*"});
}

TEST_F(DataPacketFace, HandlerExceptionGoesToTheErrorHandlerAndTheNextPacketStillArrives)
{
    Port->SetOpen(true);
    Throw = true;
    EXPECT_TRUE(Packet->DeliverStringPacket("@1*"));
    Throw = false;
    EXPECT_TRUE(Packet->DeliverStringPacket("@2*"));
    Services.RunPosted();
    EXPECT_EQ(Services.BoxTexts(), std::vector<std::string>{"Unable to write to x.ini"});
    EXPECT_EQ(Received.size(), 2u);
}

TEST_F(DataPacketFace, ForgetsAPortThatGoesAway)
{
    delete Port;
    EXPECT_EQ(Packet->ComPort(), nullptr);
    EXPECT_FALSE(Packet->DeliverStringPacket("@x*"));
}

} // namespace
} // namespace kivo
