// The operating-system version the module reports and decides by. What matters to the module
// is the generation of the web server in front of it: major version 6 stands for a server that
// keeps delivering response data after the end of a request. Our own front end does not, so
// the query reports major version 5. The environment variable NEXORAL_OS_MAJOR_VERSION (a
// number from 1 to 99) selects another major version; tests use it to reach the paths of 6.
// Build and service-pack text describe the running kernel.
#ifndef NEXORAL_PLATFORM_OS_VERSION_H
#define NEXORAL_PLATFORM_OS_VERSION_H

#include <string>

#include "nexoral/win_types.h"

namespace nexoral::platform {

inline constexpr char kOsMajorVersionVariable[] = "NEXORAL_OS_MAJOR_VERSION";
inline constexpr DWORD kFrontEndMajorVersion = 5;
inline constexpr DWORD kFrontEndMinorVersion = 2;
inline constexpr DWORD kPlatformIdNt = 2;

struct OsVersionInfo {
  DWORD majorVersion = 0;
  DWORD minorVersion = 0;
  DWORD buildNumber = 0;  // kernel version as major * 10000 + minor * 100 + patch
  DWORD platformId = 0;
  std::string servicePack;  // kernel name and release, e.g. "Linux 6.1.0-13-amd64"
};

// False with the last error set when the kernel cannot be asked.
bool GetVersionEx(OsVersionInfo* info);

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_OS_VERSION_H
