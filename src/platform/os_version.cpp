// The version query over uname(2).
#include "platform/os_version.h"

#include <sys/utsname.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>

#include "platform/error_codes.h"

namespace nexoral::platform {
namespace {

DWORD MajorVersionFromEnvironment() {
  const char* text = std::getenv(kOsMajorVersionVariable);
  if (text == nullptr || text[0] == '\0') return kFrontEndMajorVersion;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 99) return kFrontEndMajorVersion;
  return static_cast<DWORD>(value);
}

DWORD KernelBuildNumber(const char* release) {
  unsigned major = 0, minor = 0, patch = 0;
  if (std::sscanf(release, "%3u.%3u.%3u", &major, &minor, &patch) < 1) return 0;
  return static_cast<DWORD>(major % 100 * 10000 + minor % 100 * 100 + patch % 100);
}

}  // namespace

bool GetVersionEx(OsVersionInfo* info) {
  if (info == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  utsname names{};
  if (uname(&names) != 0) {
    SetLastError(ErrorCodeFromErrno(errno));
    return false;
  }
  info->majorVersion = MajorVersionFromEnvironment();
  info->minorVersion = kFrontEndMinorVersion;
  info->buildNumber = KernelBuildNumber(names.release);
  info->platformId = kPlatformIdNt;
  info->servicePack = std::string(names.sysname) + " " + names.release;
  return true;
}

}  // namespace nexoral::platform
