#pragma once
// The status codes the serial stack returns and tests by name. Only the
// numbers live here, so any layer can include this without the message table
// or the exception classes; the texts and classes for every code are in
// message_table.h and exceptions.h.

namespace kivo {

inline constexpr int ecOK = 0;

// Negated operating-system file and device errors.
inline constexpr int ecFileNotFound = -2;
inline constexpr int ecPathNotFound = -3;
inline constexpr int ecTooManyFiles = -4;
inline constexpr int ecAccessDenied = -5;
inline constexpr int ecInvalidHandle = -6;
inline constexpr int ecOutOfMemory = -8;
inline constexpr int ecSharingViolation = -32;  // held by another program
inline constexpr int ecDeviceWrite = -160;
inline constexpr int ecDeviceRead = -161;
inline constexpr int ecGeneralFailure = -162;

// General.
inline constexpr int ecBadHandle = -1001;
inline constexpr int ecBadArgument = -1002;
inline constexpr int ecGotQuitMsg = -1003;
inline constexpr int ecBufferTooBig = -1004;
inline constexpr int ecPortNotAssigned = -1005;
inline constexpr int ecInternal = -1006;
inline constexpr int ecModemNotAssigned = -1007;
inline constexpr int ecPhonebookNotAssigned = -1008;
inline constexpr int ecCannotUseWithWinSock = -1009;

// Opening a port.
inline constexpr int ecBadId = -2001;
inline constexpr int ecBaudRate = -2002;
inline constexpr int ecByteSize = -2003;
inline constexpr int ecDefault = -2004;
inline constexpr int ecHardware = -2005;
inline constexpr int ecMemory = -2006;
inline constexpr int ecCommNotOpen = -2007;
inline constexpr int ecAlreadyOpen = -2008;
inline constexpr int ecNoHandles = -2009;
inline constexpr int ecNoTimers = -2010;
inline constexpr int ecNoPortSelected = -2011;
inline constexpr int ecNotOpenedByTapi = -2012;

// Serial input and output.
inline constexpr int ecNullApi = -3001;
inline constexpr int ecNotSupported = -3002;
inline constexpr int ecRegisterHandlerFailed = -3003;
inline constexpr int ecPutBlockFail = -3004;
inline constexpr int ecGetBlockFail = -3005;
inline constexpr int ecOutputBufferTooSmall = -3006;
inline constexpr int ecBufferIsEmpty = -3007;
inline constexpr int ecTracingNotEnabled = -3008;
inline constexpr int ecLoggingNotEnabled = -3009;
inline constexpr int ecBaseAddressNotSet = -3010;

// Triggers.
inline constexpr int ecNoMoreTriggers = -5001;
inline constexpr int ecTriggerTooLong = -5002;
inline constexpr int ecBadTriggerHandle = -5003;

// Data packets. The end-condition enumerators of the data packet own the
// names ecString and ecPacketSize, so these keep clear of them.
inline constexpr int ecStartStringEmpty = -5501;
inline constexpr int ecPacketTooSmall = -5502;
inline constexpr int ecNoEndCharCount = -5503;
inline constexpr int ecEmptyEndString = -5504;
inline constexpr int ecZeroSizePacket = -5505;
inline constexpr int ecPacketTooLong = -5506;

// A device thread that could not allocate a buffer exits with this.
inline constexpr int ecTapiNoMem = -13868;

} // namespace kivo
