// Setting changes of the port component: defaults, the rules that hold on a
// closed port, settings that reach the device of an open one, flow control
// and RS-485, and the trace and log state machines with their files.

#include "serial/errors/error_codes.h"
#include "framework/exceptions.h"
#include "serial/errors/exceptions.h"
#include "tests/port/port_rig.h"

#include <gtest/gtest.h>

#include <string>

namespace kivo::test {
namespace {

using enum TTraceLogState;
using enum THWFlowOptions;

// ---- A closed port --------------------------------------------------------------

class ClosedPort : public PortRig {
protected:
    TKivComPort Port{&Form};
};

TEST_F(ClosedPort, StartsWithTheStoredDefaults)
{
    EXPECT_EQ(Port.ComNumber(), 0);
    EXPECT_EQ(Port.Baud(), 19200);
    EXPECT_EQ(Port.Parity(), TParity::pNone);
    EXPECT_EQ(Port.DataBits(), 8);
    EXPECT_EQ(Port.StopBits(), 1);
    EXPECT_EQ(Port.InSize(), 4096);
    EXPECT_EQ(Port.OutSize(), 4096);
    EXPECT_TRUE(Port.AutoOpen() && Port.PromptForPort() && Port.DTR() && Port.RTS());
    EXPECT_TRUE(Port.HWFlowOptions().Empty());
    EXPECT_EQ(Port.SWFlowOptions(), TSWFlowOptions::swfNone);
    EXPECT_EQ(Port.XOnChar(), 17);
    EXPECT_EQ(Port.XOffChar(), 19);
    EXPECT_EQ(Port.TraceSize(), 10000u);
    EXPECT_EQ(Port.LogSize(), 10000u);
    EXPECT_EQ(Port.TraceName(), "KIVO.TRC");
    EXPECT_EQ(Port.LogName(), "KIVO.LOG");
    EXPECT_EQ(Port.AvailThreshold(), 1);
    EXPECT_EQ(Port.CommNotificationLevel(), 10);
    EXPECT_EQ(Port.TapiMode(), TTapiMode::tmAuto);
    EXPECT_FALSE(Port.Open());
    EXPECT_FALSE(Port.Version().empty());
}

TEST_F(ClosedPort, HardwareFlowSetsNinetyAndTenPercentAndEndsRS485)
{
    Port.SetRS485Mode(true);
    Port.SetHWFlowOptions({hwfUseRTS});
    EXPECT_EQ(Port.BufferFull(), 3686);
    EXPECT_EQ(Port.BufferResume(), 410);
    EXPECT_FALSE(Port.RS485Mode());
}

TEST_F(ClosedPort, SoftwareFlowSetsThreeQuartersAndOneQuarter)
{
    Port.SetSWFlowOptions(TSWFlowOptions::swfBoth);
    EXPECT_EQ(Port.BufferFull(), 3072);
    EXPECT_EQ(Port.BufferResume(), 1024);
    // Thresholds that fit survive the other rule.
    Port.SetHWFlowOptions({hwfRequireDSR});
    EXPECT_EQ(Port.BufferFull(), 3072);
    EXPECT_EQ(Port.BufferResume(), 1024);
}

TEST_F(ClosedPort, ThresholdsFollowTheInputSize)
{
    Port.SetInSize(1000);
    Port.SetHWFlowOptions({hwfUseDTR});
    EXPECT_EQ(Port.BufferFull(), 900);
    EXPECT_EQ(Port.BufferResume(), 100);
}

TEST_F(ClosedPort, NoFlowControlLeavesTheThresholdsAlone)
{
    Port.SetHWFlowOptions({hwfUseRTS});
    Port.SetHWFlowOptions({});
    Port.SetSWFlowOptions(TSWFlowOptions::swfNone);
    EXPECT_EQ(Port.BufferFull(), 3686);
    EXPECT_EQ(Port.BufferResume(), 410);
}

TEST_F(ClosedPort, ResumeAboveFullBecomesATenthOfFull)
{
    Port.SetBufferFull(400);
    Port.SetBufferResume(500);
    EXPECT_EQ(Port.BufferResume(), 40);
    Port.SetBufferResume(300);
    EXPECT_EQ(Port.BufferResume(), 300);
}

TEST_F(ClosedPort, FullAboveTheInputSizeIsRefused)
{
    Port.SetBufferFull(1000);
    try {
        Port.SetBufferFull(5000);
        FAIL() << "a stop level above the input buffer was accepted";
    } catch (const EBadArgument& error) {
        EXPECT_EQ(error.ErrorCode, ecBadArgument);
    }
    EXPECT_EQ(Port.BufferFull(), 1000);
}

TEST_F(ClosedPort, RS485DropsRtsFlowAndCtsAndRtsItself)
{
    Port.SetHWFlowOptions({hwfUseDTR, hwfUseRTS, hwfRequireCTS, hwfRequireDSR});
    Port.SetRS485Mode(true);
    EXPECT_TRUE(Port.RS485Mode());
    EXPECT_EQ(Port.HWFlowOptions(), (THWFlowOptionSet{hwfUseDTR, hwfRequireDSR}));
    EXPECT_FALSE(Port.RTS());
    Port.SetRTS(true);
    Port.SetRS485Mode(false);
    EXPECT_TRUE(Port.RTS()) << "switching RS-485 off changes nothing else";
}

TEST_F(ClosedPort, TracingKeepsOnlyOffAndOn)
{
    Port.SetTracing(tlDump);
    EXPECT_EQ(Port.Tracing(), tlOff);
    Port.SetTracing(tlPause);
    EXPECT_EQ(Port.Tracing(), tlOff);
    Port.SetTracing(tlOn);
    EXPECT_EQ(Port.Tracing(), tlOn);
    Port.SetTracing(tlAppendAndContinue);
    EXPECT_EQ(Port.Tracing(), tlOff);
    Port.SetLogging(tlOn);
    EXPECT_EQ(Port.Logging(), tlOn);
    Port.SetLogging(tlClear);
    EXPECT_EQ(Port.Logging(), tlOff);
}

TEST_F(ClosedPort, SizesAreClamped)
{
    Port.SetTraceSize(4000001);
    EXPECT_EQ(Port.TraceSize(), 4000000u);
    Port.SetLogSize(16000001);
    EXPECT_EQ(Port.LogSize(), 16000000u);
}

TEST_F(ClosedPort, NamesAreShortStrings)
{
    Port.SetTraceName(std::string(300, 't'));
    Port.SetLogName(std::string(256, 'l'));
    EXPECT_EQ(Port.TraceName().size(), 255u);
    EXPECT_EQ(Port.LogName().size(), 255u);
}

TEST_F(ClosedPort, IgnoredAssignments)
{
    Port.SetUseMSRShadow(false);
    EXPECT_TRUE(Port.UseMSRShadow());
    Port.SetDeviceLayer(TDeviceLayer::dlWinsock);
    EXPECT_EQ(Port.DeviceLayer(), TDeviceLayer::dlWin32);
    Port.SetVersion("other");
    EXPECT_NE(Port.Version(), "other");
}

// ---- An open port -------------------------------------------------------------------

class OpenPort : public PortRig {
protected:
    OpenPort() : Far(Line(3))
    {
        Port.SetComNumber(3);
        Port.SetBaud(9600);
    }

    void Open()
    {
        Port.SetOpen(true);
        ASSERT_TRUE(Port.Open());
    }

    PtyPair& Far;
    TKivComPort Port{&Form};
};

// A pty forces 8 data bits and clears the parity enable on every set; the
// speed, the odd-parity and stop-bit flags and the flow flags survive there.
TEST_F(OpenPort, OpensWithTheStoredLineSettings)
{
    Port.SetParity(TParity::pOdd);
    Port.SetStopBits(2);
    Open();
    TLineView view = ReadLineView(Far);
    EXPECT_EQ(view.Speed, 9600u);
    EXPECT_TRUE(view.TwoStopBits);
    EXPECT_TRUE(view.OddParity);
    EXPECT_FALSE(view.RtsCts);
}

TEST_F(OpenPort, LineSettingsChangedWhileOpenReachTheDevice)
{
    Open();
    TLineView before = ReadLineView(Far);
    EXPECT_FALSE(before.OddParity || before.TwoStopBits);
    Port.SetBaud(19200);
    EXPECT_EQ(ReadLineView(Far).Speed, 19200u);
    Port.SetParity(TParity::pOdd);
    EXPECT_TRUE(ReadLineView(Far).OddParity);
    Port.SetStopBits(2);
    EXPECT_TRUE(ReadLineView(Far).TwoStopBits);
    Port.SetDataBits(7);
    EXPECT_EQ(ReadLineView(Far).Speed, 19200u) << "a later change lost an earlier one";
    Port.PutText("still");
    EXPECT_EQ(Far.ReadExactly(5, 3000ms), "still");
}

TEST_F(OpenPort, FlowControlReachesTheDeviceAndCanBeSwitchedOff)
{
    Open();
    Port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
    EXPECT_TRUE(ReadLineView(Far).RtsCts);
    Port.SetHWFlowOptions({});
    EXPECT_FALSE(ReadLineView(Far).RtsCts);

    Port.SetXOnChar(0x01);
    Port.SetXOffChar(0x02);
    Port.SetSWFlowOptions(TSWFlowOptions::swfBoth);
    TLineView both = ReadLineView(Far);
    EXPECT_TRUE(both.XonOutput && both.XonInput);
    EXPECT_EQ(both.Start, 0x01) << "the port's XON character was replaced";
    EXPECT_EQ(both.Stop, 0x02);
    Port.SetBufferFull(3000);  // re-applies both flow settings
    EXPECT_EQ(ReadLineView(Far).Start, 0x01);
    Port.SetSWFlowOptions(TSWFlowOptions::swfTransmit);
    TLineView transmit = ReadLineView(Far);
    EXPECT_TRUE(transmit.XonOutput);
    EXPECT_FALSE(transmit.XonInput) << "the receive side stayed on";
    Port.SetSWFlowOptions(TSWFlowOptions::swfNone);
    TLineView none = ReadLineView(Far);
    EXPECT_FALSE(none.XonOutput || none.XonInput);
}

TEST_F(OpenPort, FlowControlStoredBeforeOpeningIsApplied)
{
    Port.SetHWFlowOptions({hwfRequireCTS});
    Port.SetSWFlowOptions(TSWFlowOptions::swfReceive);
    Open();
    TLineView view = ReadLineView(Far);
    EXPECT_TRUE(view.RtsCts);
    EXPECT_TRUE(view.XonInput);
    EXPECT_FALSE(view.XonOutput);
}

TEST_F(OpenPort, XonXoffCharactersReachTheDevice)
{
    Port.SetSWFlowOptions(TSWFlowOptions::swfBoth);
    Open();
    Port.SetXOnChar(0x05);
    Port.SetXOffChar(0x06);
    TLineView view = ReadLineView(Far);
    EXPECT_EQ(view.Start, 0x05);
    EXPECT_EQ(view.Stop, 0x06);
}

TEST_F(OpenPort, DtrUnderFlowControlKeepsItsLevel)
{
    Port.SetHWFlowOptions({hwfUseDTR});
    Open();
    Port.SetDTR(false);
    EXPECT_TRUE(Port.DTR());
    Port.SetHWFlowOptions({});
    Port.SetDTR(false);
    EXPECT_FALSE(Port.DTR());
}

TEST_F(OpenPort, ThresholdsThatDoNotFitAreRefusedByTheDispatcher)
{
    Port.SetHWFlowOptions({hwfUseDTR});
    Open();
    // Full below resume: refused, and the flow options stay as they were.
    EXPECT_THROW(Port.SetBufferFull(100), EBadArgument);
    EXPECT_EQ(Port.HWFlowOptions(), THWFlowOptionSet{hwfUseDTR});
    Port.SetBufferResume(50);
    Port.SetBufferFull(100);
    EXPECT_EQ(Port.BufferFull(), 100);
}

TEST_F(OpenPort, RefusedSoftwareFlowLeavesTheLineAsItWas)
{
    Open();
    // One character for both: the device refuses it once the flow is on.
    Port.SetXOnChar(0x05);
    Port.SetXOffChar(0x05);
    try {
        Port.SetSWFlowOptions(TSWFlowOptions::swfBoth);
        ADD_FAILURE() << "one character for XON and XOFF was taken";
    } catch (const EInOutError& error) {
        EXPECT_EQ(error.ErrorCode, 87);
    }
    EXPECT_EQ(Port.SWFlowOptions(), TSWFlowOptions::swfNone);
    TLineView none = ReadLineView(Far);
    EXPECT_FALSE(none.XonOutput || none.XonInput) << "the line runs a flow the port calls off";

    Port.SetXOffChar(0x06);
    Port.SetSWFlowOptions(TSWFlowOptions::swfBoth);
    EXPECT_THROW(Port.SetBufferFull(500), EBadArgument);  // below the resume level
    EXPECT_THROW(Port.SetSWFlowOptions(TSWFlowOptions::swfReceive), EBadArgument);
    EXPECT_EQ(Port.SWFlowOptions(), TSWFlowOptions::swfBoth);
    TLineView both = ReadLineView(Far);
    EXPECT_TRUE(both.XonOutput && both.XonInput) << "the refusal took the line's flow away";
    EXPECT_EQ(both.Start, 0x05);
}

TEST_F(OpenPort, RS485OnAnOpenPortDropsRtsFlow)
{
    Port.SetHWFlowOptions({hwfUseRTS});
    Open();
    Port.SetRS485Mode(true);
    EXPECT_TRUE(Port.HWFlowOptions().Empty());
    EXPECT_FALSE(ReadLineView(Far).RtsCts);
    // The transmitter drives RTS now; the property cannot take it over.
    EXPECT_TRUE(Port.RTS());
    Port.PutText("485");
    EXPECT_EQ(Far.ReadExactly(3, 3000ms), "485");
}

// ---- Tracing ---------------------------------------------------------------------------

class Tracing : public OpenPort {
protected:
    Tracing()
    {
        Port.SetTraceName(TraceFile());
        Port.SetTraceHex(false);
    }

    std::string TraceFile() const { return (Devices / "port.trc").string(); }
    std::string Trace() const { return Devices.Read("port.trc"); }

    void Send(const std::string& text)
    {
        Port.PutText(text);
        EXPECT_EQ(Far.ReadExactly(text.size(), 3000ms), text);
    }
};

TEST_F(Tracing, OnAtOpenIsDumpedAtCloseAndOffAfterwards)
{
    Port.SetTracing(tlOn);
    Open();
    EXPECT_EQ(Port.Tracing(), tlOn);
    Send("traced");
    Port.SetOpen(false);
    EXPECT_EQ(Port.Tracing(), tlOff);
    EXPECT_NE(Trace().find("Transmit: "), std::string::npos);
    EXPECT_NE(Trace().find("traced"), std::string::npos);

    Devices.Write("port.trc", "");
    Open();
    EXPECT_EQ(Port.Tracing(), tlOff) << "the next open started tracing again";
    Send("untraced");
    Port.SetOpen(false);
    EXPECT_EQ(Trace(), "");
}

TEST_F(Tracing, PauseAndResumeKeepTheBuffer)
{
    Open();
    Port.SetTracing(tlOn);
    Send("AAA");
    Port.SetTracing(tlPause);
    EXPECT_EQ(Port.Tracing(), tlPause);
    Send("BBB");
    Port.SetTracing(tlOn);
    Send("CCC");
    Port.SetTracing(tlDump);
    EXPECT_EQ(Port.Tracing(), tlOff);
    EXPECT_NE(Trace().find("AAACCC"), std::string::npos) << Trace();
    EXPECT_EQ(Trace().find("BBB"), std::string::npos);
}

TEST_F(Tracing, ClearWhilePausedEmptiesAndStaysPaused)
{
    Open();
    Port.SetTracing(tlOn);
    Send("gone");
    Port.SetTracing(tlPause);
    Port.SetTracing(tlClear);
    EXPECT_EQ(Port.Tracing(), tlPause);
    Port.SetTracing(tlOn);
    Send("kept");
    Port.SetTracing(tlDump);
    EXPECT_NE(Trace().find("kept"), std::string::npos);
    EXPECT_EQ(Trace().find("gone"), std::string::npos);
}

TEST_F(Tracing, AppendAndContinueAppendsAndKeepsTracing)
{
    Devices.Write("port.trc", "earlier\n");
    Open();
    Port.SetTracing(tlOn);
    Send("first");
    Port.SetTracing(tlAppendAndContinue);
    EXPECT_EQ(Port.Tracing(), tlOn);
    Send("second");
    Port.SetTracing(tlAppend);
    EXPECT_EQ(Port.Tracing(), tlOff);
    std::string text = Trace();
    std::size_t earlier = text.find("earlier");
    std::size_t first = text.find("first");
    std::size_t second = text.find("second");
    ASSERT_NE(earlier, std::string::npos);
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(earlier, first);
    EXPECT_LT(first, second);
    EXPECT_EQ(text.find("first", first + 1), std::string::npos) << "the buffer was not emptied";
}

TEST_F(Tracing, ChangingTheSizeWhilePausedStopsTracing)
{
    Open();
    Port.SetTracing(tlOn);
    Port.SetTraceSize(500);
    EXPECT_EQ(Port.Tracing(), tlOn);
    Port.SetTracing(tlPause);
    Port.SetTraceSize(600);
    EXPECT_EQ(Port.Tracing(), tlOff);
}

TEST_F(Tracing, AnUnwritableTraceStillClosesThePortAndIsReported)
{
    Port.SetTraceName((Devices / "no-such-dir" / "x.trc").string());
    Port.SetTracing(tlOn);
    Open();
    Send("data");
    EXPECT_THROW(Port.SetOpen(false), EInOutError);
    EXPECT_FALSE(Port.Open());
    EXPECT_EQ(Port.PortPhase(), TPortPhase::ppClosed);
}

// The close raises the first failure; the log lost after it is not passed
// over in silence.
TEST_F(Tracing, AnUnwritableLogAfterAnUnwritableTraceIsShownAtClose)
{
    Port.SetTraceName((Devices / "no-such-dir" / "x.trc").string());
    Port.SetLogName((Devices / "no-such-dir" / "x.log").string());
    Port.SetTracing(tlOn);
    Port.SetLogging(tlOn);
    Open();
    Send("data");
    ASSERT_EQ(App.PendingErrorCount(), 0u);
    EXPECT_THROW(Port.SetOpen(false), EInOutError);
    EXPECT_EQ(Port.PortPhase(), TPortPhase::ppClosed);
    EXPECT_EQ(App.PendingErrorCount(), 1u);
}

TEST_F(Tracing, AnUnwritableTraceDoesNotStopANumberChange)
{
    PtyPair& com5 = Line(5);
    Port.SetTraceName((Devices / "no-such-dir" / "x.trc").string());
    Port.SetTracing(tlOn);
    Open();
    Send("data");
    EXPECT_THROW(Port.SetComNumber(5), EInOutError);
    EXPECT_EQ(Port.ComNumber(), 5);
    ASSERT_TRUE(Port.Open());
    Port.PutText("moved");
    EXPECT_EQ(com5.ReadExactly(5, 3000ms), "moved");
}

TEST_F(Tracing, LoggingOnAtOpenIsWrittenAtClose)
{
    Port.SetLogName((Devices / "port.log").string());
    Port.SetLogging(tlOn);
    Open();
    EXPECT_EQ(Port.Logging(), tlOn);
    Send("logged");
    Port.SetOpen(false);
    EXPECT_EQ(Port.Logging(), tlOff);
    EXPECT_NE(Devices.Read("port.log").find("WriteCom"), std::string::npos);
}

TEST_F(Tracing, ControlsOnAClosedPortWithoutAutoOpenRaiseCommNotOpen)
{
    Port.SetAutoOpen(false);
    EXPECT_THROW(Port.InitTrace(100), ECommNotOpen);
    EXPECT_THROW(Port.DumpLog("x", true), ECommNotOpen);
    EXPECT_EQ(Port.Tracing(), tlOff);
}

} // namespace
} // namespace kivo::test
