// The module-name rule.
#include "platform/module_names.h"

#include <strings.h>

namespace nexoral::platform {

std::string SharedObjectFileName(const std::string& moduleName) {
  const size_t slash = moduleName.find_last_of('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = moduleName.find_last_of('.');
  if (dot == std::string::npos || dot < nameStart) return moduleName + ".so";
  if (strcasecmp(moduleName.c_str() + dot, ".dll") == 0) return moduleName.substr(0, dot) + ".so";
  return moduleName;
}

}  // namespace nexoral::platform
