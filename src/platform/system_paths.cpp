// The system directory and the fallback log file.
#include "platform/system_paths.h"

#include <cstdlib>

namespace nexoral::platform {

std::string SystemDirectory() {
  const char* configured = std::getenv(kSystemDirectoryVariable);
  std::string folder = configured != nullptr ? configured : kDefaultSystemDirectory;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

std::string FallbackLogPath() { return SystemDirectory() + "/LogError.txt"; }

}  // namespace nexoral::platform
