// Where a loaded module lives. A module is named as the configuration and the code name it
// ("Nexoral.dll"); the shared object that stands for it is found by the rule of module_names.h
// ("Nexoral.so"), its file name compared ignoring ASCII case as module names always were.
// When no loaded object carries that name, the shared object that holds this code (found from
// its own address) is taken, so a module file an administrator renamed still finds its
// installation; the main program itself never counts as that module.
#ifndef NEXORAL_PLATFORM_MODULE_PATH_H
#define NEXORAL_PLATFORM_MODULE_PATH_H

#include <string>

namespace nexoral::platform {

// The full path of the loaded module of that name. False with the last error 126 (module not
// found) when there is none.
bool GetLoadedModulePath(const std::string& moduleName, std::string* path);

// The full path of the shared object that holds this code; false when the code is part of
// the main program.
bool GetOwnModulePath(std::string* path);

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_MODULE_PATH_H
