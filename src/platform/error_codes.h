// Error codes and HRESULT values the module reports and compares, with the usual helpers.
// Values are those the filter interface and the administrators' tools know.
#ifndef NEXORAL_PLATFORM_ERROR_CODES_H
#define NEXORAL_PLATFORM_ERROR_CODES_H

#include "nexoral/filter_interface.h"

namespace nexoral {

inline constexpr DWORD kErrorSuccess = 0;
inline constexpr DWORD kErrorFileNotFound = 2;
inline constexpr DWORD kErrorPathNotFound = 3;
inline constexpr DWORD kErrorAccessDenied = 5;
inline constexpr DWORD kErrorInvalidHandle = 6;
inline constexpr DWORD kErrorNotEnoughMemory = 8;
inline constexpr DWORD kErrorInvalidData = 13;
inline constexpr DWORD kErrorOutOfMemory = 14;
inline constexpr DWORD kErrorGenFailure = 31;
inline constexpr DWORD kErrorSharingViolation = 32;
inline constexpr DWORD kErrorDiskFull = 112;
inline constexpr DWORD kErrorInvalidParameter = ERROR_INVALID_PARAMETER;
inline constexpr DWORD kErrorInsufficientBuffer = ERROR_INSUFFICIENT_BUFFER;
inline constexpr DWORD kErrorModNotFound = 126;
inline constexpr DWORD kErrorProcNotFound = 127;
inline constexpr DWORD kErrorAlreadyExists = 183;
inline constexpr DWORD kErrorFilenameTooLong = 206;
inline constexpr DWORD kErrorNoData = ERROR_NO_DATA;
inline constexpr DWORD kErrorRegistryQuotaLimit = 613;  // a registry key file would grow too large
inline constexpr DWORD kErrorNoToken = 1008;
inline constexpr DWORD kErrorBadDatabase = 1009;  // a registry key file does not parse
inline constexpr DWORD kErrorNotFound = 1168;
inline constexpr DWORD kErrorInvalidIndex = ERROR_INVALID_INDEX;

inline constexpr HRESULT kSOk = 0;
inline constexpr HRESULT kSFalse = 1;
inline constexpr HRESULT kENotImpl = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT kEFail = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT kEUnexpected = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT kEOutOfMemory = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT kEInvalidArg = static_cast<HRESULT>(0x80070057u);

// The system error code for a C library errno value (kErrorGenFailure when none fits).
DWORD ErrorCodeFromErrno(int error);

// The HRESULT that carries a system error code (facility 7).
constexpr HRESULT HresultFromWin32(DWORD code) {
  return code == 0 ? kSOk : static_cast<HRESULT>((code & 0xFFFFu) | 0x80070000u);
}

constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

}  // namespace nexoral

#endif  // NEXORAL_PLATFORM_ERROR_CODES_H
