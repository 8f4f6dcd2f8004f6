// The stand-in serial port and data packet behave as the face promises the
// window: openings, their failures, output, the packet event.

#include "framework/exceptions.h"
#include "serial/packet/data_packet.h"
#include "serial/port/com_port.h"
#include "tests/framework/recording_services.h"

#include <gtest/gtest.h>

#include <memory>

namespace kivo {
namespace {

class LinkFace : public ::testing::Test {
protected:
    std::string OpenFailure(TKivComPort& port)
    {
        try {
            port.SetOpen(true);
        } catch (const Exception& error) {
            return error.Message();
        }
        return "";
    }

    test::TRecordingServices Services;
    TApplication App{Services};
    TApplicationScope Scope{App};
    TComponent Form{nullptr};
    TKivComPort* Port = new TKivComPort(&Form);
};

TEST_F(LinkFace, DefaultsAreTheComponentsOwn)
{
    EXPECT_EQ(Port->ComNumber(), 0);
    EXPECT_EQ(Port->Baud(), 19200);
    EXPECT_TRUE(Port->PromptForPort());
    EXPECT_TRUE(Port->AutoOpen());
    EXPECT_EQ(Port->TraceName(), "KIVO.TRC");
    EXPECT_EQ(Port->LogName(), "KIVO.LOG");
    EXPECT_FALSE(Port->Open());
}

TEST_F(LinkFace, NoPortNumberWithoutPromptingFails)
{
    Port->SetPromptForPort(false);
    App.SetPortPrompt([] { return std::optional<int>(4); });
    EXPECT_EQ(OpenFailure(*Port), "The ComNumber property of the TKivComPort has not been set");
    EXPECT_FALSE(Port->Open());
}

TEST_F(LinkFace, NoPortNumberAsksThePromptAndKeepsTheChoice)
{
    std::vector<std::string> opened;
    Port->DeviceOpener = [&](const std::string& name) {
        opened.push_back(name);
        return 0;
    };
    int asked = 0;
    App.SetPortPrompt([&] {
        ++asked;
        return std::optional<int>(4);
    });
    Port->SetOpen(true);
    EXPECT_TRUE(Port->Open());
    EXPECT_EQ(Port->ComNumber(), 4);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(opened, std::vector<std::string>{"\\\\.\\COM4"});
}

TEST_F(LinkFace, CancelledPromptFails)
{
    App.SetPortPrompt([] { return std::optional<int>(); });
    EXPECT_EQ(OpenFailure(*Port), "The ComNumber property of the TKivComPort has not been set");
    EXPECT_FALSE(Port->Open());
    EXPECT_EQ(Port->ComNumber(), 0);
}

TEST_F(LinkFace, DeviceInUseOrMissingFailsAndStaysClosed)
{
    Port->SetComNumber(3);
    Port->DeviceOpener = [](const std::string&) { return -5; };
    EXPECT_EQ(OpenFailure(*Port), "ie_Open - device already open");
    EXPECT_FALSE(Port->Open());

    Port->DeviceOpener = [](const std::string&) { return -2; };
    EXPECT_EQ(OpenFailure(*Port), "ie_BadId - Specified comport doesn't exist");
    Port->DeviceOpener = [](const std::string&) { return -3; };
    EXPECT_EQ(OpenFailure(*Port), "ie_BadId - Specified comport doesn't exist");
    EXPECT_FALSE(Port->Open());
    EXPECT_EQ(Port->OpenCount, 0);
}

TEST_F(LinkFace, OpeningTwiceOpensOnceAndClosingAClosedPortDoesNothing)
{
    Port->SetComNumber(3);
    Port->SetOpen(false);
    Port->SetOpen(true);
    Port->SetOpen(true);
    EXPECT_EQ(Port->OpenCount, 1);
    Port->SetOpen(false);
    Port->SetOpen(false);
    EXPECT_FALSE(Port->Open());
}

TEST_F(LinkFace, PutTextOnAClosedPortOpensItWhenAutoOpenIsSet)
{
    Port->SetComNumber(3);
    Port->PutText("@1*");
    EXPECT_TRUE(Port->Open());
    EXPECT_EQ(Port->SentTexts, std::vector<std::string>{"@1*"});

    Port->SetOpen(false);
    Port->SetAutoOpen(false);
    try {
        Port->PutText("@2*");
        FAIL() << "no exception";
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), "ie_NOpen - device not open");
    }
    EXPECT_EQ(Port->SentTexts.size(), 1u);
}

TEST_F(LinkFace, PutTextQueuesAllOrNothing)
{
    Port->SetComNumber(3);
    Port->SetOpen(true);
    Port->OutputRoom = 4;
    Port->PutText("");
    Port->PutText("@12*");
    try {
        Port->PutText("@123*");
        FAIL() << "no exception";
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), "Output buffer too small for block");
    }
    EXPECT_EQ(Port->SentTexts, std::vector<std::string>{"@12*"});
}

TEST_F(LinkFace, OpenStoredWhileLoadingHappensAtTheEndOfLoading)
{
    auto* port = new TKivComPort(&Form);
    port->BeginLoading();
    port->SetComNumber(2);
    port->SetOpen(true);
    EXPECT_EQ(port->OpenCount, 0);
    port->EndLoading();
    EXPECT_TRUE(port->Open());
    EXPECT_EQ(port->OpenCount, 1);
}

TEST_F(LinkFace, OpenFailingAtTheEndOfLoadingGoesToTheErrorHandler)
{
    auto* port = new TKivComPort(&Form);
    port->BeginLoading();
    port->SetComNumber(2);
    port->SetOpen(true);
    port->DeviceOpener = [](const std::string&) { return -5; };
    port->EndLoading();
    EXPECT_FALSE(port->Open());
    Services.RunPosted();
    EXPECT_EQ(Services.BoxTexts(), std::vector<std::string>{"ie_Open - device already open"});
}

TEST_F(LinkFace, ShortStringsAreCutAt255)
{
    Port->SetTraceName(std::string(300, 't'));
    EXPECT_EQ(Port->TraceName().size(), 255u);
}

class DataPacketFace : public LinkFace {
protected:
    void SetUp() override
    {
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
    Port = nullptr;
}

} // namespace
} // namespace kivo
