// Line records to termios2 and back, field by field, without a device.

#include "platform/dcb_termios.h"

#include <asm/termbits.h>
#include <gtest/gtest.h>

#include <cstring>

using namespace kivo::win;

namespace {

DCB Line(DWORD baud = CBR_9600, BYTE size = 8, BYTE parity = NOPARITY, BYTE stop = ONESTOPBIT,
         void (*change)(DCB&) = nullptr)
{
    DCB dcb{};
    dcb.BaudRate = baud;
    dcb.ByteSize = size;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    if (change) change(dcb);
    return dcb;
}

// A freshly opened terminal, with leftovers an earlier setting could leave.
termios2 Cooked()
{
    termios2 tio{};
    tio.c_iflag = ICRNL | IXON | IXANY | IMAXBEL | BRKINT | IGNPAR;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_cflag = B38400 | CS7 | CREAD | HUPCL | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    tio.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN | EXTPROC;
    tio.c_cc[VTIME] = 5;
    tio.c_ispeed = tio.c_ospeed = 38400;
    return tio;
}

struct Row
{
    const char* Name;
    DCB Record;
    tcflag_t CMask, CBits;  // expected c_cflag bits under the mask
    tcflag_t IMask, IBits;  // expected c_iflag bits under the mask
};

class DcbToTermios : public ::testing::TestWithParam<Row>
{
};

}  // namespace

TEST_P(DcbToTermios, EachFieldReachesItsKernelBitsAndReadsBack)
{
    const Row& row = GetParam();
    termios2 tio = Cooked();
    ASSERT_EQ(ToTermios(row.Record, tio), ERROR_SUCCESS);
    EXPECT_EQ(tio.c_cflag & row.CMask, row.CBits);
    EXPECT_EQ(tio.c_iflag & row.IMask, row.IBits);
    EXPECT_EQ(tio.c_cflag & CIBAUD, 0u) << "input follows the output rate";
    EXPECT_EQ(tio.c_ospeed, row.Record.BaudRate);

    DCB back{};
    FromTermios(tio, back);
    EXPECT_EQ(back.BaudRate, row.Record.BaudRate);
    EXPECT_EQ(back.ByteSize, row.Record.ByteSize);
    EXPECT_EQ(back.Parity, row.Record.Parity);
    EXPECT_EQ(back.StopBits, row.Record.StopBits);
    EXPECT_EQ(back.fParity, row.Record.fParity);
    EXPECT_EQ(back.fOutX, row.Record.fOutX);
    EXPECT_EQ(back.fInX, row.Record.fInX);
    bool ctsRts = row.Record.fOutxCtsFlow || row.Record.fRtsControl == RTS_CONTROL_HANDSHAKE;
    EXPECT_EQ(back.fOutxCtsFlow != 0, ctsRts);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Fields, DcbToTermios, ::testing::Values(
    Row{"baud110", Line(110), CBAUD, B110, 0, 0},
    Row{"baud9600", Line(9600), CBAUD, B9600, 0, 0},
    Row{"baud115200", Line(115200), CBAUD, B115200, 0, 0},
    Row{"baud3000000", Line(3000000), CBAUD, B3000000, 0, 0},
    Row{"baud14400", Line(14400), CBAUD, BOTHER, 0, 0},
    Row{"baud31250", Line(31250), CBAUD, BOTHER, 0, 0},
    Row{"baud256000", Line(256000), CBAUD, BOTHER, 0, 0},
    Row{"noParity", Line(9600, 8, NOPARITY), PARENB | PARODD | CMSPAR, 0, 0, 0},
    Row{"odd", Line(9600, 7, ODDPARITY), PARENB | PARODD | CMSPAR, PARENB | PARODD, 0, 0},
    Row{"even", Line(9600, 7, EVENPARITY), PARENB | PARODD | CMSPAR, PARENB, 0, 0},
    Row{"mark", Line(9600, 7, MARKPARITY), PARENB | PARODD | CMSPAR, PARENB | PARODD | CMSPAR, 0, 0},
    Row{"space", Line(9600, 7, SPACEPARITY), PARENB | PARODD | CMSPAR, PARENB | CMSPAR, 0, 0},
    Row{"parityChecked", Line(9600, 8, EVENPARITY, ONESTOPBIT, [](DCB& d) { d.fParity = 1; }),
        PARENB, PARENB, INPCK, INPCK},
    Row{"parityNotChecked", Line(9600, 8, EVENPARITY), PARENB, PARENB, INPCK, 0},
    Row{"five1", Line(9600, 5), CSIZE | CSTOPB, CS5, 0, 0},
    Row{"five1_5", Line(9600, 5, NOPARITY, ONE5STOPBITS), CSIZE | CSTOPB, CS5 | CSTOPB, 0, 0},
    Row{"six2", Line(9600, 6, NOPARITY, TWOSTOPBITS), CSIZE | CSTOPB, CS6 | CSTOPB, 0, 0},
    Row{"seven1", Line(9600, 7), CSIZE | CSTOPB, CS7, 0, 0},
    Row{"eight2", Line(9600, 8, NOPARITY, TWOSTOPBITS), CSIZE | CSTOPB, CS8 | CSTOPB, 0, 0},
    Row{"noFlow", Line(), CRTSCTS, 0, IXON | IXOFF | IXANY, 0},
    Row{"ctsOut", Line(9600, 8, 0, 0, [](DCB& d) { d.fOutxCtsFlow = 1; }), CRTSCTS, CRTSCTS, 0, 0},
    Row{"rtsIn", Line(9600, 8, 0, 0, [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; }),
        CRTSCTS, CRTSCTS, 0, 0},
    Row{"dsrHasNoKernelForm", Line(9600, 8, 0, 0, [](DCB& d) { d.fOutxDsrFlow = 1; }), CRTSCTS, 0, 0, 0},
    Row{"xonOut", Line(9600, 8, 0, 0, [](DCB& d) { d.fOutX = 1; }), 0, 0, IXON | IXOFF | IXANY, IXON},
    Row{"xonIn", Line(9600, 8, 0, 0, [](DCB& d) { d.fInX = 1; }), 0, 0, IXON | IXOFF | IXANY, IXOFF}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.Name); });
// clang-format on

class DcbToTermiosRejects : public ::testing::TestWithParam<DCB>
{
};

TEST_P(DcbToTermiosRejects, WithInvalidParameterAndLeavesTermiosAlone)
{
    termios2 tio = Cooked();
    termios2 before = tio;
    EXPECT_EQ(ToTermios(GetParam(), tio), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(std::memcmp(&tio, &before, sizeof tio), 0);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(BadRecords, DcbToTermiosRejects, ::testing::Values(
    Line(9600, 4), Line(9600, 9), Line(9600, 8, 5), Line(9600, 8, NOPARITY, 3),
    Line(9600, 8, NOPARITY, ONE5STOPBITS), Line(9600, 5, NOPARITY, TWOSTOPBITS), Line(0),
    Line(9600, 8, 0, 0, [](DCB& d) { d.fOutX = 1; d.XoffChar = d.XonChar; }),
    Line(9600, 8, 0, 0, [](DCB& d) { d.fInX = 1; d.XonChar = d.XoffChar; })));
// clang-format on

TEST(DcbToTermiosRejects, EqualXonAndXoffAreFineWithoutSoftwareFlow)
{
    EXPECT_EQ(ValidateDcb(Line(9600, 8, 0, 0, [](DCB& d) { d.XonChar = d.XoffChar = 0; })),
              ERROR_SUCCESS);
}

TEST(DcbToTermios, XonXoffCharactersTravelBothWays)
{
    termios2 tio = Cooked();
    ASSERT_EQ(ToTermios(Line(9600, 8, 0, 0,
                             [](DCB& d) {
                                 d.XonChar = 'Q';
                                 d.XoffChar = 'S';
                             }),
                        tio),
              ERROR_SUCCESS);
    EXPECT_EQ(tio.c_cc[VSTART], 'Q');
    EXPECT_EQ(tio.c_cc[VSTOP], 'S');
    DCB back{};
    FromTermios(tio, back);
    EXPECT_EQ(back.XonChar, 'Q');
    EXPECT_EQ(back.XoffChar, 'S');
}

TEST(DcbToTermios, RawTransferKeepsBitsThatAreNotOurs)
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
}

TEST(TermiosToDcb, ClassicSpeedCodeWinsOverAStaleSpeedField)
{
    termios2 tio = Cooked();
    tio.c_cflag = (tio.c_cflag & ~CBAUD) | B4800;
    tio.c_ospeed = 0;
    DCB dcb{};
    FromTermios(tio, dcb);
    EXPECT_EQ(dcb.BaudRate, 4800u);
}

TEST(TermiosToDcb, FieldsWithoutAKernelPlaceKeepTheirValues)
{
    DCB dcb = Line(9600, 8, 0, 0, [](DCB& d) {
        d.fDtrControl = DTR_CONTROL_HANDSHAKE;
        d.fRtsControl = RTS_CONTROL_TOGGLE;
        d.fDsrSensitivity = d.fNull = d.fAbortOnError = 1;
        d.XonLim = 100;
        d.EvtChar = '\n';
    });
    termios2 tio = Cooked();
    ASSERT_EQ(ToTermios(dcb, tio), ERROR_SUCCESS);
    DCB back = dcb;
    FromTermios(tio, back);
    EXPECT_EQ(back.fDtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(back.fRtsControl, RTS_CONTROL_TOGGLE);
    EXPECT_EQ(back.fDsrSensitivity + back.fNull + back.fAbortOnError, 3u);
    EXPECT_EQ(back.XonLim, 100);
    EXPECT_EQ(back.EvtChar, '\n');
    EXPECT_EQ(back.fBinary, 1u);

    tio.c_cflag &= ~CRTSCTS;
    back.fRtsControl = RTS_CONTROL_HANDSHAKE;
    FromTermios(tio, back);
    EXPECT_EQ(back.fRtsControl, RTS_CONTROL_ENABLE) << "handshake gone, the line stays driven";
}

TEST(DriverTook, RoundingWithinAFiftiethPassesAndAnythingElseTheDriverChangedDoesNot)
{
    termios2 asked = Cooked();
    ASSERT_EQ(ToTermios(Line(115200, 7, MARKPARITY, ONESTOPBIT,
                             [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; }),
                        asked),
              ERROR_SUCCESS);
    EXPECT_TRUE(DriverTook(asked, asked, true));

    auto rate = [&](DWORD held) {
        termios2 tio = asked;
        tio.c_cflag = (tio.c_cflag & ~CBAUD) | BOTHER;
        tio.c_ispeed = tio.c_ospeed = held;
        return tio;
    };
    EXPECT_TRUE(DriverTook(asked, rate(113500), true)) << "an adapter's divisor rounds";
    EXPECT_FALSE(DriverTook(asked, rate(9600), true)) << "a UART that fell back to the old rate";
    termios2 standard = asked;
    standard.c_cflag = (standard.c_cflag & ~CBAUD) | B9600;
    standard.c_ospeed = 115200;  // a stale speed field: the code is the rate
    EXPECT_FALSE(DriverTook(asked, standard, true));

    auto without = [&](tcflag_t bits, tcflag_t instead = 0) {
        termios2 tio = asked;
        tio.c_cflag = (tio.c_cflag & ~bits) | instead;
        return tio;
    };
    // What a pseudo-terminal does to every setting: accepted there only.
    termios2 ptyHeld = without(CSIZE | PARENB, CS8);
    EXPECT_FALSE(DriverTook(asked, ptyHeld, true));
    EXPECT_TRUE(DriverTook(asked, ptyHeld, false));
    for (tcflag_t dropped : {tcflag_t{CMSPAR}, tcflag_t{PARODD}, tcflag_t{CRTSCTS}}) {
        EXPECT_FALSE(DriverTook(asked, without(dropped), true)) << std::oct << dropped;
        EXPECT_FALSE(DriverTook(asked, without(dropped), false)) << std::oct << dropped;
    }
    EXPECT_FALSE(DriverTook(asked, without(0, CSTOPB), false));
}
