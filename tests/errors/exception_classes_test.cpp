// Every code that has a class raises exactly that class, caught by its family;
// every other negative code raises one of the fallbacks.

#include "serial/errors/error_check.h"

#include "framework/exceptions.h"
#include "serial/errors/exceptions.h"
#include "serial/errors/message_table.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <typeindex>
#include <vector>

namespace kivo {
namespace {

struct ClassRow {
    int Code;
    std::type_index Exact;
    std::type_index Family;
    bool (*InFamily)(const EKIVException&);
};

template <typename E, typename Family>
ClassRow Row(int code)
{
    static_assert(std::is_base_of_v<Family, E>);
    return {code, typeid(E), typeid(Family),
            [](const EKIVException& e) { return dynamic_cast<const Family*>(&e) != nullptr; }};
}

const std::vector<ClassRow> ExpectedClasses{
    Row<EBadArgument, EGeneral>(-1002), Row<EGotQuitMsg, EGeneral>(-1003),
    Row<EBufferTooBig, EGeneral>(-1004), Row<EPortNotAssigned, EGeneral>(-1005),
    Row<EInternal, EGeneral>(-1006), Row<EModemNotAssigned, EGeneral>(-1007),
    Row<EPhonebookNotAssigned, EGeneral>(-1008), Row<ECannotUseWithWinSock, EGeneral>(-1009),

    Row<EBadId, EOpenComm>(-2001), Row<EBaudRate, EOpenComm>(-2002),
    Row<EByteSize, EOpenComm>(-2003), Row<EDefault, EOpenComm>(-2004),
    Row<EHardware, EOpenComm>(-2005), Row<EMemory, EOpenComm>(-2006),
    Row<ECommNotOpen, EOpenComm>(-2007), Row<EAlreadyOpen, EOpenComm>(-2008),
    Row<ENoHandles, EOpenComm>(-2009), Row<ENoTimers, EOpenComm>(-2010),
    Row<ENoPortSelected, EOpenComm>(-2011), Row<ENotOpenedByTapi, EOpenComm>(-2012),

    Row<ENullApi, ESerialIO>(-3001), Row<ERegisterHandlerFailed, ESerialIO>(-3003),
    Row<EPutBlockFail, ESerialIO>(-3004), Row<EGetBlockFail, ESerialIO>(-3005),
    Row<EOutputBufferTooSmall, ESerialIO>(-3006), Row<EBufferIsEmpty, ESerialIO>(-3007),
    Row<ETracingNotEnabled, ESerialIO>(-3008), Row<ELoggingNotEnabled, ESerialIO>(-3009),
    Row<EBaseAddressNotSet, ESerialIO>(-3010),

    Row<EModemNotStarted, EModem>(-4001), Row<EModemBusy, EModem>(-4002),
    Row<EModemNotDialing, EModem>(-4003), Row<ENotDialing, EModem>(-4004),
    Row<EAlreadyDialing, EModem>(-4005), Row<EModemNotResponding, EModem>(-4006),
    Row<EModemRejectedCommand, EModem>(-4007), Row<EModemStatusMismatch, EModem>(-4008),

    Row<ENoMoreTriggers, ETrigger>(-5001), Row<ETriggerTooLong, ETrigger>(-5002),
    Row<EBadTriggerHandle, ETrigger>(-5003),

    Row<EInvalidProperty, EPacket>(-5501), Row<EInvalidProperty, EPacket>(-5502),
    Row<EInvalidProperty, EPacket>(-5503), Row<EInvalidProperty, EPacket>(-5504),
    Row<EInvalidProperty, EPacket>(-5505),

    Row<EProtocol, EProtocol>(-6006), Row<EProtocol, EProtocol>(-6008),
    Row<EProtocol, EProtocol>(-6009),

    Row<EKeyTooLong, EINI>(-7001), Row<EDataTooLarge, EINI>(-7002),
    Row<EInternal, EGeneral>(-7003), Row<EIniWrite, EINI>(-7004), Row<EIniRead, EINI>(-7005),
    Row<EInternal, EGeneral>(-7006), Row<ERecordExists, EINI>(-7007),
    Row<ERecordNotFound, EINI>(-7008), Row<EDatabaseFull, EINI>(-7010),
    Row<EDatabaseEmpty, EINI>(-7011), Row<EInternal, EGeneral>(-7012),
    Row<EBadFieldList, EINI>(-7013), Row<EBadFieldForIndex, EINI>(-7014),

    Row<EFaxBadFormat, EFax>(-8001), Row<EBadGraphicsFormat, EFax>(-8002),
    Row<EConvertAbort, EFax>(-8003), Row<EUnpackAbort, EFax>(-8004),
    Row<ECantMakeBitmap, EFax>(-8005), Row<EInvalidPageNumber, EFax>(-8053),
    Row<EFaxBadMachine, EFax>(-8060), Row<EFaxBadModemResult, EFax>(-8061),
    Row<EFaxTrainError, EFax>(-8062), Row<EFaxInitError, EFax>(-8063),
    Row<EFaxBusy, EFax>(-8064), Row<EFaxVoiceCall, EFax>(-8065),
    Row<EFaxDataCall, EFax>(-8066), Row<EFaxNoDialTone, EFax>(-8067),
    Row<EFaxNoCarrier, EFax>(-8068), Row<EFaxSessionError, EFax>(-8069),
    Row<EFaxPageError, EFax>(-8070),

    Row<ETapiAllocated, ETapi>(-13801), Row<ETapiBadDeviceID, ETapi>(-13802),
    Row<ETapiBearerModeUnavail, ETapi>(-13803), Row<ETapiCallUnavail, ETapi>(-13805),
    Row<ETapiCompletionOverrun, ETapi>(-13806), Row<ETapiConferenceFull, ETapi>(-13807),
    Row<ETapiDialBilling, ETapi>(-13808), Row<ETapiDialDialtone, ETapi>(-13809),
    Row<ETapiDialPrompt, ETapi>(-13810), Row<ETapiDialQuiet, ETapi>(-13811),
    Row<ETapiIncompatibleApiVersion, ETapi>(-13812),
    Row<ETapiIncompatibleExtVersion, ETapi>(-13813),
    Row<ETapiIniFileCorrupt, ETapi>(-13814), Row<ETapiInUse, ETapi>(-13815),
    Row<ETapiInvalAddress, ETapi>(-13816), Row<ETapiInvalAddressID, ETapi>(-13817),
    Row<ETapiInvalAddressMode, ETapi>(-13818), Row<ETapiInvalAddressState, ETapi>(-13819),
    Row<ETapiInvalAppHandle, ETapi>(-13820), Row<ETapiInvalAppName, ETapi>(-13821),
    Row<ETapiInvalBearerMode, ETapi>(-13822), Row<ETapiInvalCallComplMode, ETapi>(-13823),
    Row<ETapiInvalCallHandle, ETapi>(-13824), Row<ETapiInvalCallParams, ETapi>(-13825),
    Row<ETapiInvalCallPrivilege, ETapi>(-13826), Row<ETapiInvalCallSelect, ETapi>(-13827),
    Row<ETapiInvalCallState, ETapi>(-13828), Row<ETapiInvalCallStateList, ETapi>(-13829),
    Row<ETapiInvalCard, ETapi>(-13830), Row<ETapiInvalCompletionID, ETapi>(-13831),
    Row<ETapiInvalConfCallHandle, ETapi>(-13832),
    Row<ETapiInvalConsultCallHandle, ETapi>(-13833),
    Row<ETapiInvalCountryCode, ETapi>(-13834), Row<ETapiInvalDeviceClass, ETapi>(-13835),
    Row<ETapiInvalDeviceHandle, ETapi>(-13836), Row<ETapiInvalDialParams, ETapi>(-13837),
    Row<ETapiInvalDigitList, ETapi>(-13838), Row<ETapiInvalDigitMode, ETapi>(-13839),
    Row<ETapiInvalDigits, ETapi>(-13840), Row<ETapiInvalExtVersion, ETapi>(-13841),
    Row<ETapiInvalGroupID, ETapi>(-13842), Row<ETapiInvalLineHandle, ETapi>(-13843),
    Row<ETapiInvalLineState, ETapi>(-13844), Row<ETapiInvalLocation, ETapi>(-13845),
    Row<ETapiInvalMediaList, ETapi>(-13846), Row<ETapiInvalMediaMode, ETapi>(-13847),
    Row<ETapiInvalMessageID, ETapi>(-13848), Row<ETapiInvalParam, ETapi>(-13850),
    Row<ETapiInvalParkID, ETapi>(-13851), Row<ETapiInvalParkMode, ETapi>(-13852),
    Row<ETapiInvalPointer, ETapi>(-13853), Row<ETapiInvalPrivSelect, ETapi>(-13854),
    Row<ETapiInvalRate, ETapi>(-13855), Row<ETapiInvalRequestMode, ETapi>(-13856),
    Row<ETapiInvalTerminalID, ETapi>(-13857), Row<ETapiInvalTerminalMode, ETapi>(-13858),
    Row<ETapiInvalTimeout, ETapi>(-13859), Row<ETapiInvalTone, ETapi>(-13860),
    Row<ETapiInvalToneList, ETapi>(-13861), Row<ETapiInvalToneMode, ETapi>(-13862),
    Row<ETapiInvalTransferMode, ETapi>(-13863), Row<ETapiLineMapperFailed, ETapi>(-13864),
    Row<ETapiNoConference, ETapi>(-13865), Row<ETapiNoDevice, ETapi>(-13866),
    Row<ETapiNoDriver, ETapi>(-13867), Row<ETapiNoMem, ETapi>(-13868),
    Row<ETapiNoRequest, ETapi>(-13869), Row<ETapiNotOwner, ETapi>(-13870),
    Row<ETapiNotRegistered, ETapi>(-13871), Row<ETapiOperationFailed, ETapi>(-13872),
    Row<ETapiOperationUnavail, ETapi>(-13873), Row<ETapiRateUnavail, ETapi>(-13874),
    Row<ETapiResourceUnavail, ETapi>(-13875), Row<ETapiRequestOverrun, ETapi>(-13876),
    Row<ETapiStructureTooSmall, ETapi>(-13877), Row<ETapiTargetNotFound, ETapi>(-13878),
    Row<ETapiTargetSelf, ETapi>(-13879), Row<ETapiUninitialized, ETapi>(-13880),
    Row<ETapiUserUserInfoTooBig, ETapi>(-13881), Row<ETapiReinit, ETapi>(-13882),
    Row<ETapiAddressBlocked, ETapi>(-13883), Row<ETapiBillingRejected, ETapi>(-13884),
    Row<ETapiInvalFeature, ETapi>(-13885), Row<ETapiNoMultipleInstance, ETapi>(-13886),
    Row<ETapiDeviceNotSelected, ETapi>(-13928), Row<ETapiUnexpectedReply, ETapi>(-13929),
    Row<ETapiCallInProgress, ETapi>(-13930), Row<ETapiNoCallToAnswer, ETapi>(-13931),
    Row<ETapiLoadFail, ETapi>(-13932), Row<ETapiVoiceNotSupported, ETapi>(-13935),
    Row<ETapiWaveFail, ETapi>(-13936), Row<ETapiTranslateFail, ETapi>(-13942),

    Row<ERasLoadFail, ERas>(-13980),
};

TEST(ExceptionClasses, EachClassedCodeRaisesItsExactClassInItsFamily)
{
    for (const ClassRow& row : ExpectedClasses) {
        try {
            CheckErrorCode(nullptr, row.Code);
            ADD_FAILURE() << row.Code << " raised nothing";
        } catch (const EKIVException& e) {
            EXPECT_EQ(std::type_index(typeid(e)), row.Exact) << row.Code << " raised " << typeid(e).name();
            EXPECT_TRUE(row.InFamily(e)) << row.Code;
            EXPECT_EQ(e.ErrorCode, row.Code);
            EXPECT_EQ(e.Message(), ErrorMessageText(row.Code));
            EXPECT_FALSE(e.Message().empty()) << row.Code;
        }
    }
}

TEST(ExceptionClasses, TelephonyHasNinetyTwoDistinctClasses)
{
    std::set<std::type_index> tapi;
    for (const ClassRow& row : ExpectedClasses)
        if (row.Family == std::type_index(typeid(ETapi))) tapi.insert(row.Exact);
    EXPECT_EQ(tapi.size(), 92u);

    std::set<std::type_index> fax;
    for (const ClassRow& row : ExpectedClasses)
        if (row.Family == std::type_index(typeid(EFax))) fax.insert(row.Exact);
    EXPECT_EQ(fax.size(), 17u);

    try {
        RaiseForCode(-13868);
    } catch (const ETapi& e) {
        EXPECT_EQ(typeid(e), typeid(ETapiNoMem));
        EXPECT_EQ(e.Message(), "No memory");
    }
}

TEST(ExceptionClasses, EveryOtherNegativeCodeRaisesAFallback)
{
    std::map<int, const ClassRow*> classed;
    for (const ClassRow& row : ExpectedClasses) classed[row.Code] = &row;

    for (int code = -1; code >= -20000; --code) {
        if (classed.count(code)) continue;
        try {
            CheckErrorCode(nullptr, code);
            ADD_FAILURE() << code << " raised nothing";
        } catch (const EKIVException& e) {
            ASSERT_EQ(typeid(e), typeid(EKIVException)) << code << " raised " << typeid(e).name();
            ASSERT_TRUE(code < -162 || code == -1) << code;
            ASSERT_EQ(e.ErrorCode, 0) << code;
            ASSERT_EQ(e.Message(), "Kivo exception") << code;
        } catch (const EOutOfMemory&) {
            ASSERT_EQ(code, -8);
        } catch (const EInOutError& e) {
            ASSERT_TRUE(code >= -162 && code <= -2) << code;
            ASSERT_EQ(e.ErrorCode, -code);
            ASSERT_FALSE(e.Message().empty()) << code;
        }
    }
}

} // namespace
} // namespace kivo
