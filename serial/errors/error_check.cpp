// Which exception class each code raises, and the error check built on it.

#include "serial/errors/error_check.h"

#include "framework/component.h"
#include "framework/exceptions.h"
#include "serial/errors/error_codes.h"
#include "serial/errors/exceptions.h"
#include "serial/errors/message_table.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

namespace kivo {

namespace {

using Raiser = void (*)(int code);

template <typename E>
[[noreturn]] void Raise(int code)
{
    throw E::CreateFromCode(code);
}

struct ClassEntry {
    int Code;
    Raiser RaiseClass;
};

// Descending order of the codes (-1002 first); codes absent here have no class.
constexpr std::array ClassTable{
    ClassEntry{-1002, Raise<EBadArgument>},
    ClassEntry{-1003, Raise<EGotQuitMsg>},
    ClassEntry{-1004, Raise<EBufferTooBig>},
    ClassEntry{-1005, Raise<EPortNotAssigned>},
    ClassEntry{-1006, Raise<EInternal>},
    ClassEntry{-1007, Raise<EModemNotAssigned>},
    ClassEntry{-1008, Raise<EPhonebookNotAssigned>},
    ClassEntry{-1009, Raise<ECannotUseWithWinSock>},
    ClassEntry{-2001, Raise<EBadId>},
    ClassEntry{-2002, Raise<EBaudRate>},
    ClassEntry{-2003, Raise<EByteSize>},
    ClassEntry{-2004, Raise<EDefault>},
    ClassEntry{-2005, Raise<EHardware>},
    ClassEntry{-2006, Raise<EMemory>},
    ClassEntry{-2007, Raise<ECommNotOpen>},
    ClassEntry{-2008, Raise<EAlreadyOpen>},
    ClassEntry{-2009, Raise<ENoHandles>},
    ClassEntry{-2010, Raise<ENoTimers>},
    ClassEntry{-2011, Raise<ENoPortSelected>},
    ClassEntry{-2012, Raise<ENotOpenedByTapi>},
    ClassEntry{-3001, Raise<ENullApi>},
    ClassEntry{-3003, Raise<ERegisterHandlerFailed>},
    ClassEntry{-3004, Raise<EPutBlockFail>},
    ClassEntry{-3005, Raise<EGetBlockFail>},
    ClassEntry{-3006, Raise<EOutputBufferTooSmall>},
    ClassEntry{-3007, Raise<EBufferIsEmpty>},
    ClassEntry{-3008, Raise<ETracingNotEnabled>},
    ClassEntry{-3009, Raise<ELoggingNotEnabled>},
    ClassEntry{-3010, Raise<EBaseAddressNotSet>},
    ClassEntry{-4001, Raise<EModemNotStarted>},
    ClassEntry{-4002, Raise<EModemBusy>},
    ClassEntry{-4003, Raise<EModemNotDialing>},
    ClassEntry{-4004, Raise<ENotDialing>},
    ClassEntry{-4005, Raise<EAlreadyDialing>},
    ClassEntry{-4006, Raise<EModemNotResponding>},
    ClassEntry{-4007, Raise<EModemRejectedCommand>},
    ClassEntry{-4008, Raise<EModemStatusMismatch>},
    ClassEntry{-5001, Raise<ENoMoreTriggers>},
    ClassEntry{-5002, Raise<ETriggerTooLong>},
    ClassEntry{-5003, Raise<EBadTriggerHandle>},
    ClassEntry{-5501, Raise<EInvalidProperty>},
    ClassEntry{-5502, Raise<EInvalidProperty>},
    ClassEntry{-5503, Raise<EInvalidProperty>},
    ClassEntry{-5504, Raise<EInvalidProperty>},
    ClassEntry{-5505, Raise<EInvalidProperty>},
    ClassEntry{-6006, Raise<EProtocol>},
    ClassEntry{-6008, Raise<EProtocol>},
    ClassEntry{-6009, Raise<EProtocol>},
    ClassEntry{-7001, Raise<EKeyTooLong>},
    ClassEntry{-7002, Raise<EDataTooLarge>},
    ClassEntry{-7003, Raise<EInternal>},
    ClassEntry{-7004, Raise<EIniWrite>},
    ClassEntry{-7005, Raise<EIniRead>},
    ClassEntry{-7006, Raise<EInternal>},
    ClassEntry{-7007, Raise<ERecordExists>},
    ClassEntry{-7008, Raise<ERecordNotFound>},
    ClassEntry{-7010, Raise<EDatabaseFull>},
    ClassEntry{-7011, Raise<EDatabaseEmpty>},
    ClassEntry{-7012, Raise<EInternal>},
    ClassEntry{-7013, Raise<EBadFieldList>},
    ClassEntry{-7014, Raise<EBadFieldForIndex>},
    ClassEntry{-8001, Raise<EFaxBadFormat>},
    ClassEntry{-8002, Raise<EBadGraphicsFormat>},
    ClassEntry{-8003, Raise<EConvertAbort>},
    ClassEntry{-8004, Raise<EUnpackAbort>},
    ClassEntry{-8005, Raise<ECantMakeBitmap>},
    ClassEntry{-8053, Raise<EInvalidPageNumber>},
    ClassEntry{-8060, Raise<EFaxBadMachine>},
    ClassEntry{-8061, Raise<EFaxBadModemResult>},
    ClassEntry{-8062, Raise<EFaxTrainError>},
    ClassEntry{-8063, Raise<EFaxInitError>},
    ClassEntry{-8064, Raise<EFaxBusy>},
    ClassEntry{-8065, Raise<EFaxVoiceCall>},
    ClassEntry{-8066, Raise<EFaxDataCall>},
    ClassEntry{-8067, Raise<EFaxNoDialTone>},
    ClassEntry{-8068, Raise<EFaxNoCarrier>},
    ClassEntry{-8069, Raise<EFaxSessionError>},
    ClassEntry{-8070, Raise<EFaxPageError>},
    ClassEntry{-13801, Raise<ETapiAllocated>},
    ClassEntry{-13802, Raise<ETapiBadDeviceID>},
    ClassEntry{-13803, Raise<ETapiBearerModeUnavail>},
    ClassEntry{-13805, Raise<ETapiCallUnavail>},
    ClassEntry{-13806, Raise<ETapiCompletionOverrun>},
    ClassEntry{-13807, Raise<ETapiConferenceFull>},
    ClassEntry{-13808, Raise<ETapiDialBilling>},
    ClassEntry{-13809, Raise<ETapiDialDialtone>},
    ClassEntry{-13810, Raise<ETapiDialPrompt>},
    ClassEntry{-13811, Raise<ETapiDialQuiet>},
    ClassEntry{-13812, Raise<ETapiIncompatibleApiVersion>},
    ClassEntry{-13813, Raise<ETapiIncompatibleExtVersion>},
    ClassEntry{-13814, Raise<ETapiIniFileCorrupt>},
    ClassEntry{-13815, Raise<ETapiInUse>},
    ClassEntry{-13816, Raise<ETapiInvalAddress>},
    ClassEntry{-13817, Raise<ETapiInvalAddressID>},
    ClassEntry{-13818, Raise<ETapiInvalAddressMode>},
    ClassEntry{-13819, Raise<ETapiInvalAddressState>},
    ClassEntry{-13820, Raise<ETapiInvalAppHandle>},
    ClassEntry{-13821, Raise<ETapiInvalAppName>},
    ClassEntry{-13822, Raise<ETapiInvalBearerMode>},
    ClassEntry{-13823, Raise<ETapiInvalCallComplMode>},
    ClassEntry{-13824, Raise<ETapiInvalCallHandle>},
    ClassEntry{-13825, Raise<ETapiInvalCallParams>},
    ClassEntry{-13826, Raise<ETapiInvalCallPrivilege>},
    ClassEntry{-13827, Raise<ETapiInvalCallSelect>},
    ClassEntry{-13828, Raise<ETapiInvalCallState>},
    ClassEntry{-13829, Raise<ETapiInvalCallStateList>},
    ClassEntry{-13830, Raise<ETapiInvalCard>},
    ClassEntry{-13831, Raise<ETapiInvalCompletionID>},
    ClassEntry{-13832, Raise<ETapiInvalConfCallHandle>},
    ClassEntry{-13833, Raise<ETapiInvalConsultCallHandle>},
    ClassEntry{-13834, Raise<ETapiInvalCountryCode>},
    ClassEntry{-13835, Raise<ETapiInvalDeviceClass>},
    ClassEntry{-13836, Raise<ETapiInvalDeviceHandle>},
    ClassEntry{-13837, Raise<ETapiInvalDialParams>},
    ClassEntry{-13838, Raise<ETapiInvalDigitList>},
    ClassEntry{-13839, Raise<ETapiInvalDigitMode>},
    ClassEntry{-13840, Raise<ETapiInvalDigits>},
    ClassEntry{-13841, Raise<ETapiInvalExtVersion>},
    ClassEntry{-13842, Raise<ETapiInvalGroupID>},
    ClassEntry{-13843, Raise<ETapiInvalLineHandle>},
    ClassEntry{-13844, Raise<ETapiInvalLineState>},
    ClassEntry{-13845, Raise<ETapiInvalLocation>},
    ClassEntry{-13846, Raise<ETapiInvalMediaList>},
    ClassEntry{-13847, Raise<ETapiInvalMediaMode>},
    ClassEntry{-13848, Raise<ETapiInvalMessageID>},
    ClassEntry{-13850, Raise<ETapiInvalParam>},
    ClassEntry{-13851, Raise<ETapiInvalParkID>},
    ClassEntry{-13852, Raise<ETapiInvalParkMode>},
    ClassEntry{-13853, Raise<ETapiInvalPointer>},
    ClassEntry{-13854, Raise<ETapiInvalPrivSelect>},
    ClassEntry{-13855, Raise<ETapiInvalRate>},
    ClassEntry{-13856, Raise<ETapiInvalRequestMode>},
    ClassEntry{-13857, Raise<ETapiInvalTerminalID>},
    ClassEntry{-13858, Raise<ETapiInvalTerminalMode>},
    ClassEntry{-13859, Raise<ETapiInvalTimeout>},
    ClassEntry{-13860, Raise<ETapiInvalTone>},
    ClassEntry{-13861, Raise<ETapiInvalToneList>},
    ClassEntry{-13862, Raise<ETapiInvalToneMode>},
    ClassEntry{-13863, Raise<ETapiInvalTransferMode>},
    ClassEntry{-13864, Raise<ETapiLineMapperFailed>},
    ClassEntry{-13865, Raise<ETapiNoConference>},
    ClassEntry{-13866, Raise<ETapiNoDevice>},
    ClassEntry{-13867, Raise<ETapiNoDriver>},
    ClassEntry{-13868, Raise<ETapiNoMem>},
    ClassEntry{-13869, Raise<ETapiNoRequest>},
    ClassEntry{-13870, Raise<ETapiNotOwner>},
    ClassEntry{-13871, Raise<ETapiNotRegistered>},
    ClassEntry{-13872, Raise<ETapiOperationFailed>},
    ClassEntry{-13873, Raise<ETapiOperationUnavail>},
    ClassEntry{-13874, Raise<ETapiRateUnavail>},
    ClassEntry{-13875, Raise<ETapiResourceUnavail>},
    ClassEntry{-13876, Raise<ETapiRequestOverrun>},
    ClassEntry{-13877, Raise<ETapiStructureTooSmall>},
    ClassEntry{-13878, Raise<ETapiTargetNotFound>},
    ClassEntry{-13879, Raise<ETapiTargetSelf>},
    ClassEntry{-13880, Raise<ETapiUninitialized>},
    ClassEntry{-13881, Raise<ETapiUserUserInfoTooBig>},
    ClassEntry{-13882, Raise<ETapiReinit>},
    ClassEntry{-13883, Raise<ETapiAddressBlocked>},
    ClassEntry{-13884, Raise<ETapiBillingRejected>},
    ClassEntry{-13885, Raise<ETapiInvalFeature>},
    ClassEntry{-13886, Raise<ETapiNoMultipleInstance>},
    ClassEntry{-13928, Raise<ETapiDeviceNotSelected>},
    ClassEntry{-13929, Raise<ETapiUnexpectedReply>},
    ClassEntry{-13930, Raise<ETapiCallInProgress>},
    ClassEntry{-13931, Raise<ETapiNoCallToAnswer>},
    ClassEntry{-13932, Raise<ETapiLoadFail>},
    ClassEntry{-13935, Raise<ETapiVoiceNotSupported>},
    ClassEntry{-13936, Raise<ETapiWaveFail>},
    ClassEntry{-13942, Raise<ETapiTranslateFail>},
    ClassEntry{-13980, Raise<ERasLoadFail>},
};

constexpr bool ClassTableDescending()
{
    for (std::size_t i = 1; i < ClassTable.size(); ++i)
        if (ClassTable[i - 1].Code <= ClassTable[i].Code) return false;
    return true;
}

// 8 + 12 + 9 + 8 + 3 + 5 + 3 + 13 (INI with the three internal errors) + 17
// + 92 + 1.
static_assert(ClassTable.size() == 171, "every code with a class is listed once");
static_assert(ClassTableDescending(), "class table out of order or with a repeated code");

Raiser ClassFor(int code)
{
    auto it = std::lower_bound(ClassTable.begin(), ClassTable.end(), code,
                               [](const ClassEntry& entry, int key) { return entry.Code > key; });
    return it != ClassTable.end() && it->Code == code ? it->RaiseClass : nullptr;
}

} // namespace

void RaiseForCode(int code)
{
    if (code >= 0)
        throw std::invalid_argument("RaiseForCode: " + std::to_string(code) + " is not an error code");
    if (Raiser raise = ClassFor(code)) raise(code);
    if (code >= ecGeneralFailure && code <= ecFileNotFound) {
        if (code == ecOutOfMemory) throw EOutOfMemory();
        std::string text = ErrorMessageText(code);
        // A negated system number without any text would show an empty box.
        if (text.empty()) text = "I/O error " + std::to_string(-code);
        throw EInOutError(std::move(text), -code);
    }
    throw EKIVException::CreateFromText("Kivo exception");
}

int CheckErrorCode(const TComponent* component, int code)
{
    if (code >= 0 || (component && component->Loading())) return code;
    RaiseForCode(code);
}

} // namespace kivo
