// The host name from the kernel.
#include "platform/computer_name.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/error_codes.h"

namespace nexoral::platform {

bool GetDnsHostName(std::string* name) {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (gethostname(buffer, sizeof(buffer) - 1) != 0) {
    SetLastError(ErrorCodeFromErrno(errno));
    return false;
  }
  std::string host(buffer);
  const size_t dot = host.find('.');
  if (dot != std::string::npos) host.resize(dot);
  if (host.empty()) {
    SetLastError(kErrorNotFound);
    return false;
  }
  if (name != nullptr) *name = host;
  return true;
}

}  // namespace nexoral::platform
