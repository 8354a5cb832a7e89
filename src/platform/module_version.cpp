// Version texts through the dynamic loader.
#include "platform/module_version.h"

#include <dlfcn.h>

#include <cstring>

#include "nexoral/module_version.h"
#include "platform/error_codes.h"

namespace nexoral::platform {
namespace {

bool ReadText(void* handle, const char* symbol, std::string* text) {
  const auto* address = static_cast<const char*>(dlsym(handle, symbol));
  if (address == nullptr) return false;
  *text = std::string(address, strnlen(address, kMaxVersionTextChars));
  return true;
}

}  // namespace

bool ReadModuleVersion(const std::string& path, ModuleVersionTexts* texts) {
  ModuleVersionTexts found;
  if (texts != nullptr) *texts = found;
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
  if (handle == nullptr) handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) {
    SetLastError(kErrorModNotFound);
    return false;
  }
  const bool hasFile = ReadText(handle, NEXORAL_FILE_VERSION_SYMBOL, &found.fileVersion);
  const bool hasProduct = ReadText(handle, NEXORAL_PRODUCT_VERSION_SYMBOL, &found.productVersion);
  dlclose(handle);
  if (!hasFile && !hasProduct) {
    SetLastError(kErrorResourceTypeNotFound);
    return false;
  }
  if (texts != nullptr) *texts = found;
  return true;
}

}  // namespace nexoral::platform
