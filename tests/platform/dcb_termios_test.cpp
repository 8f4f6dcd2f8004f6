// Line records to termios2 and back, field by field, without a device.

#include "platform/dcb_termios.h"

#include <asm/termbits.h>
#include <gtest/gtest.h>

#include <cstring>

using namespace kivo::win;

namespace {

DCB Line(DWORD baud = CBR_9600, BYTE size = 8, BYTE parity = NOPARITY, BYTE stop = ONESTOPBIT)
{
    DCB dcb{};
    dcb.BaudRate = baud;
    dcb.ByteSize = size;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    dcb.fBinary = 1;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

// What a freshly opened terminal looks like: line editing, echo, mapping.
termios2 Cooked()
{
    termios2 tio{};
    tio.c_iflag = ICRNL | IXON | IXANY | IMAXBEL | BRKINT | IGNPAR;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_cflag = B38400 | CS8 | CREAD | HUPCL;
    tio.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN | EXTPROC;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 5;
    tio.c_ispeed = tio.c_ospeed = 38400;
    return tio;
}

}  // namespace

struct BaudRow
{
    DWORD Rate;
    tcflag_t Code;
};

class DcbToTermiosBaud : public ::testing::TestWithParam<BaudRow>
{
};

TEST_P(DcbToTermiosBaud, ClassicRatesUseTheirCodeOthersGoAsNumbers)
{
    termios2 tio = Cooked();
    ASSERT_EQ(ToTermios(Line(GetParam().Rate), tio), ERROR_SUCCESS);
    EXPECT_EQ(tio.c_cflag & CBAUD, GetParam().Code);
    EXPECT_EQ(tio.c_cflag & CIBAUD, 0u) << "input must follow the output rate";
    EXPECT_EQ(tio.c_ospeed, GetParam().Rate);
    EXPECT_EQ(tio.c_ispeed, GetParam().Rate);

    DCB back{};
    FromTermios(tio, back);
    EXPECT_EQ(back.BaudRate, GetParam().Rate);
}

INSTANTIATE_TEST_SUITE_P(Rates, DcbToTermiosBaud,
                         ::testing::Values(BaudRow{110, B110}, BaudRow{300, B300},
                                           BaudRow{9600, B9600}, BaudRow{19200, B19200},
                                           BaudRow{38400, B38400}, BaudRow{57600, B57600},
                                           BaudRow{115200, B115200}, BaudRow{3000000, B3000000},
                                           BaudRow{14400, BOTHER}, BaudRow{31250, BOTHER},
                                           BaudRow{56000, BOTHER}, BaudRow{128000, BOTHER},
                                           BaudRow{250000, BOTHER}, BaudRow{12345, BOTHER}));

TEST(TermiosToDcb, ClassicCodeWinsOverAStaleSpeedField)
{
    termios2 tio = Cooked();
    tio.c_cflag = (tio.c_cflag & ~CBAUD) | B4800;
    tio.c_ospeed = 0;  // old-style TCSETS callers leave it unset
    DCB dcb{};
    FromTermios(tio, dcb);
    EXPECT_EQ(dcb.BaudRate, 4800u);
}

struct ParityRow
{
    BYTE Parity;
    tcflag_t Bits;
};

class DcbToTermiosParity : public ::testing::TestWithParam<ParityRow>
{
};

TEST_P(DcbToTermiosParity, EachParityHasItsOwnBitsAndReadsBack)
{
    termios2 tio = Cooked();
    tio.c_cflag |= PARODD | CMSPAR;  // leftovers of an earlier setting must not survive
    ASSERT_EQ(ToTermios(Line(CBR_9600, 7, GetParam().Parity), tio), ERROR_SUCCESS);
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), GetParam().Bits);

    DCB back{};
    FromTermios(tio, back);
    EXPECT_EQ(back.Parity, GetParam().Parity);
}

INSTANTIATE_TEST_SUITE_P(AllParities, DcbToTermiosParity,
                         ::testing::Values(ParityRow{NOPARITY, 0},
                                           ParityRow{ODDPARITY, PARENB | PARODD},
                                           ParityRow{EVENPARITY, PARENB},
                                           ParityRow{MARKPARITY, PARENB | PARODD | CMSPAR},
                                           ParityRow{SPACEPARITY, PARENB | CMSPAR}));

TEST(DcbToTermiosParity, CheckingReceivedParityFollowsFParity)
{
    termios2 tio = Cooked();
    DCB dcb = Line(CBR_9600, 8, EVENPARITY);
    dcb.fParity = 1;
    ASSERT_EQ(ToTermios(dcb, tio), ERROR_SUCCESS);
    EXPECT_TRUE(tio.c_iflag & INPCK);
    DCB back{};
    FromTermios(tio, back);
    EXPECT_EQ(back.fParity, 1u);

    dcb.fParity = 0;
    ASSERT_EQ(ToTermios(dcb, tio), ERROR_SUCCESS);
    EXPECT_FALSE(tio.c_iflag & INPCK);
    EXPECT_TRUE(tio.c_cflag & PARENB) << "parity is still generated";
}

struct FrameRow
{
    BYTE ByteSize;
    BYTE StopBits;
    tcflag_t Size;
    bool LongStop;
};

class DcbToTermiosFrame : public ::testing::TestWithParam<FrameRow>
{
};

TEST_P(DcbToTermiosFrame, DataAndStopBitsReadBack)
{
    const FrameRow& row = GetParam();
    termios2 tio = Cooked();
    tio.c_cflag |= CSTOPB;
    ASSERT_EQ(ToTermios(Line(CBR_9600, row.ByteSize, NOPARITY, row.StopBits), tio), ERROR_SUCCESS);
    EXPECT_EQ(tio.c_cflag & CSIZE, row.Size);
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, row.LongStop);

    DCB back{};
    FromTermios(tio, back);
    EXPECT_EQ(back.ByteSize, row.ByteSize);
    EXPECT_EQ(back.StopBits, row.StopBits);
}

INSTANTIATE_TEST_SUITE_P(
    SizesAndStops, DcbToTermiosFrame,
    ::testing::Values(FrameRow{5, ONESTOPBIT, CS5, false}, FrameRow{5, ONE5STOPBITS, CS5, true},
                      FrameRow{6, ONESTOPBIT, CS6, false}, FrameRow{6, TWOSTOPBITS, CS6, true},
                      FrameRow{7, ONESTOPBIT, CS7, false}, FrameRow{7, TWOSTOPBITS, CS7, true},
                      FrameRow{8, ONESTOPBIT, CS8, false}, FrameRow{8, TWOSTOPBITS, CS8, true}));

struct InvalidRow
{
    const char* What;
    DCB Record;
};

DCB With(DCB dcb, void (*change)(DCB&))
{
    change(dcb);
    return dcb;
}

class DcbToTermiosRejects : public ::testing::TestWithParam<InvalidRow>
{
};

TEST_P(DcbToTermiosRejects, WithInvalidParameterAndLeavesTermiosAlone)
{
    termios2 tio = Cooked();
    termios2 before = tio;
    EXPECT_EQ(ValidateDcb(GetParam().Record), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ToTermios(GetParam().Record, tio), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(std::memcmp(&tio, &before, sizeof tio), 0);
}

INSTANTIATE_TEST_SUITE_P(
    BadRecords, DcbToTermiosRejects,
    ::testing::Values(InvalidRow{"four data bits", Line(CBR_9600, 4)},
                      InvalidRow{"nine data bits", Line(CBR_9600, 9)},
                      InvalidRow{"parity 5", Line(CBR_9600, 8, 5)},
                      InvalidRow{"stop bits 3", Line(CBR_9600, 8, NOPARITY, 3)},
                      InvalidRow{"1.5 stop with 8 data", Line(CBR_9600, 8, NOPARITY, ONE5STOPBITS)},
                      InvalidRow{"2 stop with 5 data", Line(CBR_9600, 5, NOPARITY, TWOSTOPBITS)},
                      InvalidRow{"baud 0", Line(0)},
                      InvalidRow{"XON equals XOFF, output flow", With(Line(),
                                                                      [](DCB& d) {
                                                                          d.fOutX = 1;
                                                                          d.XoffChar = d.XonChar;
                                                                      })},
                      InvalidRow{"XON equals XOFF, input flow", With(Line(),
                                                                     [](DCB& d) {
                                                                         d.fInX = 1;
                                                                         d.XonChar = d.XoffChar;
                                                                     })}),
    [](const ::testing::TestParamInfo<InvalidRow>& info) {
        std::string name;
        for (const char* c = info.param.What; *c; ++c)
            name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        return name;
    });

TEST(DcbToTermiosRejects, SameXonAndXoffIsFineWithoutSoftwareFlow)
{
    DCB dcb = Line();
    dcb.XonChar = dcb.XoffChar = 0;
    EXPECT_EQ(ValidateDcb(dcb), ERROR_SUCCESS);
}

struct FlowRow
{
    const char* What;
    DCB Record;
    tcflag_t Cflag;  // CRTSCTS or 0
    tcflag_t Iflag;  // IXON / IXOFF
};

class DcbToTermiosFlow : public ::testing::TestWithParam<FlowRow>
{
};

TEST_P(DcbToTermiosFlow, HandshakesMapToTheKernelFlags)
{
    termios2 tio = Cooked();
    tio.c_cflag |= CRTSCTS;
    ASSERT_EQ(ToTermios(GetParam().Record, tio), ERROR_SUCCESS);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, GetParam().Cflag);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), GetParam().Iflag)
        << "IXANY has no field and stays off";
}

INSTANTIATE_TEST_SUITE_P(
    FlowControl, DcbToTermiosFlow,
    ::testing::Values(
        FlowRow{"none", Line(), 0, 0},
        FlowRow{"cts out", With(Line(), [](DCB& d) { d.fOutxCtsFlow = 1; }), CRTSCTS, 0},
        FlowRow{"rts in", With(Line(), [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; }),
                CRTSCTS, 0},
        FlowRow{"rts enable only", With(Line(), [](DCB& d) { d.fRtsControl = RTS_CONTROL_ENABLE; }),
                0, 0},
        FlowRow{"dsr out has no kernel form", With(Line(), [](DCB& d) { d.fOutxDsrFlow = 1; }), 0,
                0},
        FlowRow{"xon out", With(Line(), [](DCB& d) { d.fOutX = 1; }), 0, IXON},
        FlowRow{"xon in", With(Line(), [](DCB& d) { d.fInX = 1; }), 0, IXOFF},
        FlowRow{"xon both", With(Line(), [](DCB& d) { d.fOutX = d.fInX = 1; }), 0, IXON | IXOFF}));

TEST(DcbToTermiosFlow, XonXoffCharactersTravelBothWays)
{
    DCB dcb = Line();
    dcb.fOutX = dcb.fInX = 1;
    dcb.XonChar = 'Q';
    dcb.XoffChar = 'S';
    termios2 tio = Cooked();
    ASSERT_EQ(ToTermios(dcb, tio), ERROR_SUCCESS);
    EXPECT_EQ(tio.c_cc[VSTART], 'Q');
    EXPECT_EQ(tio.c_cc[VSTOP], 'S');

    DCB back{};
    FromTermios(tio, back);
    EXPECT_EQ(back.XonChar, 'Q');
    EXPECT_EQ(back.XoffChar, 'S');
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fInX, 1u);
}

TEST(TermiosToDcb, CtsHandshakeReadsBackAsBothDirections)
{
    termios2 tio = Cooked();
    tio.c_cflag |= CRTSCTS;
    DCB dcb{};
    FromTermios(tio, dcb);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);

    tio.c_cflag &= ~CRTSCTS;
    FromTermios(tio, dcb);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE) << "handshake gone, the line stays driven";
}

TEST(TermiosToDcb, FieldsWithoutAKernelPlaceKeepTheirValues)
{
    DCB dcb = Line();
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fDsrSensitivity = 1;
    dcb.fNull = 1;
    dcb.fAbortOnError = 1;
    dcb.XonLim = 100;
    dcb.XoffLim = 200;
    dcb.EvtChar = '\n';
    dcb.ErrorChar = '?';
    termios2 tio = Cooked();
    ASSERT_EQ(ToTermios(dcb, tio), ERROR_SUCCESS);
    DCB back = dcb;
    FromTermios(tio, back);
    EXPECT_EQ(back.fDtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(back.fRtsControl, RTS_CONTROL_TOGGLE);
    EXPECT_EQ(back.fDsrSensitivity, 1u);
    EXPECT_EQ(back.fNull, 1u);
    EXPECT_EQ(back.fAbortOnError, 1u);
    EXPECT_EQ(back.XonLim, 100);
    EXPECT_EQ(back.XoffLim, 200);
    EXPECT_EQ(back.EvtChar, '\n');
    EXPECT_EQ(back.ErrorChar, '?');
    EXPECT_EQ(back.fBinary, 1u);
}

TEST(DcbToTermiosRawMode, BytesPassUntouchedAndForeignBitsStay)
{
    termios2 tio = Cooked();
    ASSERT_EQ(ToTermios(Line(), tio), ERROR_SUCCESS);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IMAXBEL | BRKINT | IGNPAR), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), CREAD | CLOCAL);
    EXPECT_EQ(tio.c_cc[VMIN], 1) << "an empty non-blocking read must not look like end of file";
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_TRUE(tio.c_lflag & EXTPROC);
    EXPECT_TRUE(tio.c_cflag & HUPCL);
    EXPECT_TRUE(tio.c_oflag & ONLCR) << "without OPOST it has no effect, and it is not ours";
}
