// Reading the version texts a module states with NEXORAL_MODULE_VERSION
// (include/nexoral/module_version.h): its file version and its product version.
#ifndef NEXORAL_PLATFORM_MODULE_VERSION_H
#define NEXORAL_PLATFORM_MODULE_VERSION_H

#include <string>

namespace nexoral::platform {

inline constexpr size_t kMaxVersionTextChars = 255;
inline constexpr unsigned kErrorResourceTypeNotFound = 1813;

struct ModuleVersionTexts {
  std::string fileVersion;
  std::string productVersion;
};

// The texts of the module file at path (a text the module lacks is empty). A module that is not
// loaded yet is loaded for the read and unloaded again. False, with the last error 126 when the
// module cannot be opened or 1813 when it states no version, and the texts empty.
bool ReadModuleVersion(const std::string& path, ModuleVersionTexts* texts);

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_MODULE_VERSION_H
