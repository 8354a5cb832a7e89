// Module file names: the names the configuration and the code use ("LogModule.dll", "Convert")
// and the shared objects that stand for them on this system. One rule for every module:
// a trailing ".dll" (any case) becomes ".so", and a name without an extension gets ".so".
// Names with another extension, and paths' folders, are kept as they are.
#ifndef NEXORAL_PLATFORM_MODULE_NAMES_H
#define NEXORAL_PLATFORM_MODULE_NAMES_H

#include <string>

namespace nexoral::platform {

// "LogModule.dll" -> "LogModule.so", "Convert" -> "Convert.so", "bin/x.DLL" -> "bin/x.so".
std::string SharedObjectFileName(const std::string& moduleName);

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_MODULE_NAMES_H
