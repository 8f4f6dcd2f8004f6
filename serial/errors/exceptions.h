#pragma once
// The serial stack's exception classes. EKIVException carries the code it was
// made from; below it eleven family classes group the single conditions, so a
// caller catches a family or one condition with plain C++ inheritance.
//
// Every class of the tree offers the same two ways in, returning its own type:
//     throw ECommNotOpen::CreateFromCode(ecCommNotOpen);   // text from the table
//     throw EKIVException::CreateFromText("Kivo exception");
// The tagged constructors behind them (FromCode, FromText) are inherited by
// every class as well. The classes add no fields and are safe to build and
// throw on any thread: they only read the constant message table.

#include "framework/exceptions.h"

#include <string>

namespace kivo {

struct TFromCode {
    explicit TFromCode() = default;
};
struct TFromText {
    explicit TFromText() = default;
};
inline constexpr TFromCode FromCode{};
inline constexpr TFromText FromText{};

class EKIVException : public Exception {
public:
    // The message is ErrorMessageText(code).
    EKIVException(TFromCode, int code);
    // ErrorCode is 0.
    EKIVException(TFromText, std::string text);

    static EKIVException CreateFromCode(int code) { return EKIVException(FromCode, code); }
    static EKIVException CreateFromText(std::string text)
    {
        return EKIVException(FromText, std::move(text));
    }

    int ErrorCode = 0;
};

// Declares a class of the tree: it inherits the tagged constructors and gets
// factories of its own, so ECommNotOpen::CreateFromCode yields an ECommNotOpen
// and not a sliced base.
#define KIVO_EXCEPTION_CLASS(Name, Base)                                                        \
    class Name : public Base {                                                                  \
    public:                                                                                     \
        using Base::Base;                                                                       \
        static Name CreateFromCode(int code) { return Name(FromCode, code); }                   \
        static Name CreateFromText(std::string text) { return Name(FromText, std::move(text)); } \
    }

KIVO_EXCEPTION_CLASS(EGeneral, EKIVException);
KIVO_EXCEPTION_CLASS(EOpenComm, EKIVException);
KIVO_EXCEPTION_CLASS(ESerialIO, EKIVException);
KIVO_EXCEPTION_CLASS(EModem, EKIVException);
KIVO_EXCEPTION_CLASS(ETrigger, EKIVException);
KIVO_EXCEPTION_CLASS(EPacket, EKIVException);
KIVO_EXCEPTION_CLASS(EProtocol, EKIVException);
KIVO_EXCEPTION_CLASS(EINI, EKIVException);
KIVO_EXCEPTION_CLASS(EFax, EKIVException);
KIVO_EXCEPTION_CLASS(ETapi, EKIVException);
KIVO_EXCEPTION_CLASS(ERas, EKIVException);

KIVO_EXCEPTION_CLASS(EBadArgument, EGeneral);
KIVO_EXCEPTION_CLASS(EGotQuitMsg, EGeneral);
KIVO_EXCEPTION_CLASS(EBufferTooBig, EGeneral);
KIVO_EXCEPTION_CLASS(EPortNotAssigned, EGeneral);
KIVO_EXCEPTION_CLASS(EInternal, EGeneral);
KIVO_EXCEPTION_CLASS(EModemNotAssigned, EGeneral);
KIVO_EXCEPTION_CLASS(EPhonebookNotAssigned, EGeneral);
KIVO_EXCEPTION_CLASS(ECannotUseWithWinSock, EGeneral);

KIVO_EXCEPTION_CLASS(EBadId, EOpenComm);
KIVO_EXCEPTION_CLASS(EBaudRate, EOpenComm);
KIVO_EXCEPTION_CLASS(EByteSize, EOpenComm);
KIVO_EXCEPTION_CLASS(EDefault, EOpenComm);
KIVO_EXCEPTION_CLASS(EHardware, EOpenComm);
KIVO_EXCEPTION_CLASS(EMemory, EOpenComm);
KIVO_EXCEPTION_CLASS(ECommNotOpen, EOpenComm);
KIVO_EXCEPTION_CLASS(EAlreadyOpen, EOpenComm);
KIVO_EXCEPTION_CLASS(ENoHandles, EOpenComm);
KIVO_EXCEPTION_CLASS(ENoTimers, EOpenComm);
KIVO_EXCEPTION_CLASS(ENoPortSelected, EOpenComm);
KIVO_EXCEPTION_CLASS(ENotOpenedByTapi, EOpenComm);

KIVO_EXCEPTION_CLASS(ENullApi, ESerialIO);
KIVO_EXCEPTION_CLASS(ERegisterHandlerFailed, ESerialIO);
KIVO_EXCEPTION_CLASS(EPutBlockFail, ESerialIO);
KIVO_EXCEPTION_CLASS(EGetBlockFail, ESerialIO);
KIVO_EXCEPTION_CLASS(EOutputBufferTooSmall, ESerialIO);
KIVO_EXCEPTION_CLASS(EBufferIsEmpty, ESerialIO);
KIVO_EXCEPTION_CLASS(ETracingNotEnabled, ESerialIO);
KIVO_EXCEPTION_CLASS(ELoggingNotEnabled, ESerialIO);
KIVO_EXCEPTION_CLASS(EBaseAddressNotSet, ESerialIO);

KIVO_EXCEPTION_CLASS(ENoMoreTriggers, ETrigger);
KIVO_EXCEPTION_CLASS(ETriggerTooLong, ETrigger);
KIVO_EXCEPTION_CLASS(EBadTriggerHandle, ETrigger);

KIVO_EXCEPTION_CLASS(EInvalidProperty, EPacket);

KIVO_EXCEPTION_CLASS(EModemNotStarted, EModem);
KIVO_EXCEPTION_CLASS(EModemBusy, EModem);
KIVO_EXCEPTION_CLASS(EModemNotDialing, EModem);
KIVO_EXCEPTION_CLASS(EModemNotResponding, EModem);
KIVO_EXCEPTION_CLASS(EModemRejectedCommand, EModem);
KIVO_EXCEPTION_CLASS(EModemStatusMismatch, EModem);
KIVO_EXCEPTION_CLASS(EAlreadyDialing, EModem);
KIVO_EXCEPTION_CLASS(ENotDialing, EModem);

KIVO_EXCEPTION_CLASS(EKeyTooLong, EINI);
KIVO_EXCEPTION_CLASS(EDataTooLarge, EINI);
KIVO_EXCEPTION_CLASS(EIniWrite, EINI);
KIVO_EXCEPTION_CLASS(EIniRead, EINI);
KIVO_EXCEPTION_CLASS(ERecordExists, EINI);
KIVO_EXCEPTION_CLASS(ERecordNotFound, EINI);
KIVO_EXCEPTION_CLASS(EDatabaseFull, EINI);
KIVO_EXCEPTION_CLASS(EDatabaseEmpty, EINI);
KIVO_EXCEPTION_CLASS(EBadFieldList, EINI);
KIVO_EXCEPTION_CLASS(EBadFieldForIndex, EINI);

KIVO_EXCEPTION_CLASS(EFaxBadFormat, EFax);
KIVO_EXCEPTION_CLASS(EBadGraphicsFormat, EFax);
KIVO_EXCEPTION_CLASS(EConvertAbort, EFax);
KIVO_EXCEPTION_CLASS(EUnpackAbort, EFax);
KIVO_EXCEPTION_CLASS(ECantMakeBitmap, EFax);
KIVO_EXCEPTION_CLASS(EInvalidPageNumber, EFax);
KIVO_EXCEPTION_CLASS(EFaxBadMachine, EFax);
KIVO_EXCEPTION_CLASS(EFaxBadModemResult, EFax);
KIVO_EXCEPTION_CLASS(EFaxTrainError, EFax);
KIVO_EXCEPTION_CLASS(EFaxInitError, EFax);
KIVO_EXCEPTION_CLASS(EFaxBusy, EFax);
KIVO_EXCEPTION_CLASS(EFaxVoiceCall, EFax);
KIVO_EXCEPTION_CLASS(EFaxDataCall, EFax);
KIVO_EXCEPTION_CLASS(EFaxNoDialTone, EFax);
KIVO_EXCEPTION_CLASS(EFaxNoCarrier, EFax);
KIVO_EXCEPTION_CLASS(EFaxSessionError, EFax);
KIVO_EXCEPTION_CLASS(EFaxPageError, EFax);

// One class per telephony condition, in the order of their codes (-13801 up).
KIVO_EXCEPTION_CLASS(ETapiAllocated, ETapi);
KIVO_EXCEPTION_CLASS(ETapiBadDeviceID, ETapi);
KIVO_EXCEPTION_CLASS(ETapiBearerModeUnavail, ETapi);
KIVO_EXCEPTION_CLASS(ETapiCallUnavail, ETapi);
KIVO_EXCEPTION_CLASS(ETapiCompletionOverrun, ETapi);
KIVO_EXCEPTION_CLASS(ETapiConferenceFull, ETapi);
KIVO_EXCEPTION_CLASS(ETapiDialBilling, ETapi);
KIVO_EXCEPTION_CLASS(ETapiDialDialtone, ETapi);
KIVO_EXCEPTION_CLASS(ETapiDialPrompt, ETapi);
KIVO_EXCEPTION_CLASS(ETapiDialQuiet, ETapi);
KIVO_EXCEPTION_CLASS(ETapiIncompatibleApiVersion, ETapi);
KIVO_EXCEPTION_CLASS(ETapiIncompatibleExtVersion, ETapi);
KIVO_EXCEPTION_CLASS(ETapiIniFileCorrupt, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInUse, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalAddress, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalAddressID, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalAddressMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalAddressState, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalAppHandle, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalAppName, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalBearerMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCallComplMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCallHandle, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCallParams, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCallPrivilege, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCallSelect, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCallState, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCallStateList, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCard, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCompletionID, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalConfCallHandle, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalConsultCallHandle, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCountryCode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalDeviceClass, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalDeviceHandle, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalDialParams, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalDigitList, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalDigitMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalDigits, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalExtVersion, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalGroupID, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalLineHandle, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalLineState, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalLocation, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalMediaList, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalMediaMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalMessageID, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalParam, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalParkID, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalParkMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalPointer, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalPrivSelect, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalRate, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalRequestMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalTerminalID, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalTerminalMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalTimeout, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalTone, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalToneList, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalToneMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalTransferMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiLineMapperFailed, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNoConference, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNoDevice, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNoDriver, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNoMem, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNoRequest, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNotOwner, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNotRegistered, ETapi);
KIVO_EXCEPTION_CLASS(ETapiOperationFailed, ETapi);
KIVO_EXCEPTION_CLASS(ETapiOperationUnavail, ETapi);
KIVO_EXCEPTION_CLASS(ETapiRateUnavail, ETapi);
KIVO_EXCEPTION_CLASS(ETapiResourceUnavail, ETapi);
KIVO_EXCEPTION_CLASS(ETapiRequestOverrun, ETapi);
KIVO_EXCEPTION_CLASS(ETapiStructureTooSmall, ETapi);
KIVO_EXCEPTION_CLASS(ETapiTargetNotFound, ETapi);
KIVO_EXCEPTION_CLASS(ETapiTargetSelf, ETapi);
KIVO_EXCEPTION_CLASS(ETapiUninitialized, ETapi);
KIVO_EXCEPTION_CLASS(ETapiUserUserInfoTooBig, ETapi);
KIVO_EXCEPTION_CLASS(ETapiReinit, ETapi);
KIVO_EXCEPTION_CLASS(ETapiAddressBlocked, ETapi);
KIVO_EXCEPTION_CLASS(ETapiBillingRejected, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalFeature, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNoMultipleInstance, ETapi);
// Conditions of the stack's own telephony layer, past the standard ones.
KIVO_EXCEPTION_CLASS(ETapiDeviceNotSelected, ETapi);
KIVO_EXCEPTION_CLASS(ETapiUnexpectedReply, ETapi);
KIVO_EXCEPTION_CLASS(ETapiCallInProgress, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNoCallToAnswer, ETapi);
KIVO_EXCEPTION_CLASS(ETapiLoadFail, ETapi);
KIVO_EXCEPTION_CLASS(ETapiVoiceNotSupported, ETapi);
KIVO_EXCEPTION_CLASS(ETapiWaveFail, ETapi);
KIVO_EXCEPTION_CLASS(ETapiTranslateFail, ETapi);

KIVO_EXCEPTION_CLASS(ERasLoadFail, ERas);

#undef KIVO_EXCEPTION_CLASS

} // namespace kivo
