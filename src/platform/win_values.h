#pragma once
// Numeric values of the Windows API that the core's logic depends on.
// They are spelled kCamelCase in namespace fenra::win so that they never
// collide with the macros of <windows.h> in the Win32 adapter.

#include <cstdint>

namespace fenra::win {

// Win32 error codes (GetLastError, registry results).
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorInvalidFunction = 1;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorBadFormat = 11;
inline constexpr uint32_t kErrorInvalidData = 13;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorFileExists = 80;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorCallNotImplemented = 120;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorInvalidName = 123;
inline constexpr uint32_t kErrorModNotFound = 126;
inline constexpr uint32_t kErrorProcNotFound = 127;
inline constexpr uint32_t kErrorBadPathname = 161;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorMoreData = 234;
inline constexpr uint32_t kErrorNotOwner = 288;
// An open key whose key was deleted meanwhile refuses every operation.
inline constexpr uint32_t kErrorKeyDeleted = 1018;
inline constexpr uint32_t kErrorInvalidServiceControl = 1052;
inline constexpr uint32_t kErrorServiceRequestTimeout = 1053;
inline constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
inline constexpr uint32_t kErrorServiceDisabled = 1058;
inline constexpr uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr uint32_t kErrorServiceCannotAcceptCtrl = 1061;
inline constexpr uint32_t kErrorServiceNotActive = 1062;
inline constexpr uint32_t kErrorFailedServiceControllerConnect = 1063;
inline constexpr uint32_t kErrorProcessAborted = 1067;
inline constexpr uint32_t kErrorServiceMarkedForDelete = 1072;
inline constexpr uint32_t kErrorServiceExists = 1073;
inline constexpr uint32_t kErrorResourceTypeNotFound = 1813;
inline constexpr uint32_t kErrorResourceNameNotFound = 1814;

// Wait results and time-outs.
inline constexpr uint32_t kWaitObject0 = 0;
inline constexpr uint32_t kWaitAbandoned0 = 0x80;
inline constexpr uint32_t kWaitTimeout = 0x102;
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFF;
inline constexpr uint32_t kInfinite = 0xFFFFFFFF;
inline constexpr uint32_t kMaximumWaitObjects = 64;

// Exit code of a thread that has not ended.
inline constexpr uint32_t kStillActive = 259;

// Registry value types.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;
inline constexpr uint32_t kRegQword = 11;

// Registry access rights and create dispositions.
inline constexpr uint32_t kKeyQueryValue = 0x0001;
inline constexpr uint32_t kKeySetValue = 0x0002;
inline constexpr uint32_t kKeyCreateSubKey = 0x0004;
inline constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr uint32_t kKeyRead = 0x20019;
inline constexpr uint32_t kKeyWrite = 0x20006;
inline constexpr uint32_t kKeyAllAccess = 0xF003F;
inline constexpr uint32_t kRegCreatedNewKey = 1;
inline constexpr uint32_t kRegOpenedExistingKey = 2;

// File access, sharing and creation.
inline constexpr uint32_t kGenericRead = 0x80000000;
inline constexpr uint32_t kGenericWrite = 0x40000000;
inline constexpr uint32_t kFileShareRead = 1;
inline constexpr uint32_t kFileShareWrite = 2;
inline constexpr uint32_t kCreateNew = 1;
inline constexpr uint32_t kCreateAlways = 2;
inline constexpr uint32_t kOpenExisting = 3;
inline constexpr uint32_t kOpenAlways = 4;
inline constexpr uint32_t kTruncateExisting = 5;
inline constexpr uint32_t kFileBegin = 0;
inline constexpr uint32_t kFileCurrent = 1;
inline constexpr uint32_t kFileEnd = 2;
inline constexpr uint32_t kInvalidFileSize = 0xFFFFFFFF;

// Event types.
inline constexpr uint16_t kEventlogErrorType = 1;
inline constexpr uint16_t kEventlogWarningType = 2;
inline constexpr uint16_t kEventlogInformationType = 4;

// Service control manager: service types, start types, error control.
inline constexpr uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr uint32_t kServiceWin32ShareProcess = 0x20;
inline constexpr uint32_t kServiceAutoStart = 2;
inline constexpr uint32_t kServiceDemandStart = 3;
inline constexpr uint32_t kServiceDisabled = 4;
inline constexpr uint32_t kServiceErrorNormal = 1;
inline constexpr uint32_t kServiceErrorCritical = 3;
// States, accepted controls, controls.
inline constexpr uint32_t kServiceStopped = 1;
inline constexpr uint32_t kServiceStartPending = 2;
inline constexpr uint32_t kServiceStopPending = 3;
inline constexpr uint32_t kServiceRunning = 4;
inline constexpr uint32_t kServiceAcceptStop = 1;
inline constexpr uint32_t kServiceAcceptPauseContinue = 2;
inline constexpr uint32_t kServiceAcceptShutdown = 4;
inline constexpr uint32_t kServiceAcceptParamChange = 8;
inline constexpr uint32_t kServiceAcceptNetBindChange = 0x10;
inline constexpr uint32_t kServiceControlStop = 1;
inline constexpr uint32_t kServiceControlPause = 2;
inline constexpr uint32_t kServiceControlContinue = 3;
inline constexpr uint32_t kServiceControlInterrogate = 4;
inline constexpr uint32_t kServiceControlShutdown = 5;
inline constexpr uint32_t kServiceControlParamChange = 6;
inline constexpr uint32_t kServiceControlNetBindAdd = 7;
inline constexpr uint32_t kServiceControlNetBindDisable = 10;
// Access rights of the manager and of a service.
inline constexpr uint32_t kScManagerConnect = 0x0001;
inline constexpr uint32_t kScManagerCreateService = 0x0002;
inline constexpr uint32_t kScManagerAllAccess = 0xF003F;
inline constexpr uint32_t kServiceQueryConfig = 0x0001;
inline constexpr uint32_t kServiceQueryStatus = 0x0004;
inline constexpr uint32_t kServiceStart = 0x0010;
inline constexpr uint32_t kServiceStop = 0x0020;
inline constexpr uint32_t kServicePauseContinue = 0x0040;
inline constexpr uint32_t kServiceInterrogate = 0x0080;
inline constexpr uint32_t kServiceUserDefinedControl = 0x0100;
inline constexpr uint32_t kDelete = 0x10000;
inline constexpr uint32_t kServiceAllAccess = 0xF01FF;

// Platform identifier of the NT family (OSVERSIONINFO.dwPlatformId).
inline constexpr uint32_t kVerPlatformWin32Nt = 2;

// HRESULTs.
inline constexpr int32_t kSOk = 0;
inline constexpr int32_t kSFalse = 1;
inline constexpr int32_t kRpcETooLate = static_cast<int32_t>(0x80010119);
inline constexpr int32_t kRpcEChangedMode = static_cast<int32_t>(0x80010106);
inline constexpr int32_t kCoENotInitialized = static_cast<int32_t>(0x800401F0);
inline constexpr int32_t kEFail = static_cast<int32_t>(0x80004005);
inline constexpr int32_t kRegdbEClassNotReg = static_cast<int32_t>(0x80040154);
inline constexpr int32_t kTypeERegistryAccess = static_cast<int32_t>(0x8002801C);
// HRESULT_FROM_WIN32.
constexpr int32_t HresultFromWin32(uint32_t error) {
  return error == 0 ? 0 : static_cast<int32_t>((error & 0xFFFF) | 0x80070000);
}
// RPC_S_SERVER_UNAVAILABLE as an HRESULT: what a connection to a WMI
// service that is not running gives.
inline constexpr int32_t kRpcSServerUnavailableHr = static_cast<int32_t>(0x800706BA);
inline constexpr uint32_t kCoinitMultithreaded = 0;
inline constexpr uint32_t kCoinitApartmentThreaded = 2;
inline constexpr uint32_t kRpcCAuthnWinnt = 10;
inline constexpr uint32_t kRpcCAuthzNone = 0;
inline constexpr uint32_t kRpcCAuthnLevelConnect = 2;
inline constexpr uint32_t kRpcCAuthnLevelCall = 3;
inline constexpr uint32_t kRpcCAuthnLevelPkt = 4;
inline constexpr uint32_t kRpcCImpLevelIdentify = 2;
inline constexpr uint32_t kRpcCImpLevelImpersonate = 3;

// WMI results, flags and time-outs.
inline constexpr int32_t kWbemSNoError = 0;
inline constexpr int32_t kWbemSFalse = 1;  // end of a result set
inline constexpr int32_t kWbemSTimedout = 0x40004;  // no object within the time-out; not an error
inline constexpr int32_t kWbemEFailed = static_cast<int32_t>(0x80041001);
inline constexpr int32_t kWbemENotFound = static_cast<int32_t>(0x80041002);
inline constexpr int32_t kWbemEInvalidParameter = static_cast<int32_t>(0x80041008);
inline constexpr int32_t kWbemEInvalidNamespace = static_cast<int32_t>(0x8004100E);
inline constexpr int32_t kWbemEInvalidClass = static_cast<int32_t>(0x80041010);
inline constexpr int32_t kWbemEInvalidQuery = static_cast<int32_t>(0x80041017);
inline constexpr int32_t kWbemEInvalidQueryType = static_cast<int32_t>(0x80041018);
inline constexpr int32_t kWbemECallCancelled = static_cast<int32_t>(0x80041032);
// WBEM_INFINITE (0xFFFFFFFF) as the signed time-out that Next takes.
inline constexpr int32_t kWbemInfinite = -1;
inline constexpr int32_t kWbemFlagReturnImmediately = 0x10;
inline constexpr int32_t kWbemFlagForwardOnly = 0x20;

}  // namespace fenra::win
