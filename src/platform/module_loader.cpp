// dlopen-based module loading.
#include "platform/module_loader.h"

#include <dlfcn.h>
#include <link.h>

#include <cstring>

#include "platform/error_codes.h"

namespace nexoral::platform {

LoadedModule::~LoadedModule() {
  if (handle_ != nullptr) dlclose(handle_);
}

std::unique_ptr<LoadedModule> LoadedModule::Load(const std::string& path, std::string* reason) {
  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* text = dlerror();
    if (reason != nullptr) *reason = text != nullptr ? text : "unknown loader failure";
    SetLastError(kErrorModNotFound);
    return nullptr;
  }
  return std::unique_ptr<LoadedModule>(new LoadedModule(handle, path));
}

void* LoadedModule::FindExport(const char* name) const {
  if (handle_ == nullptr || name == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  dlerror();
  void* address = dlsym(handle_, name);
  if (address == nullptr) SetLastError(kErrorProcNotFound);
  return address;
}

namespace {

struct ModuleSearch {
  const std::string* fileName;
  std::string* fullPath;
  bool found;
};

int MatchLoadedObject(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<ModuleSearch*>(data);
  if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
  const char* slash = std::strrchr(info->dlpi_name, '/');
  const char* base = slash != nullptr ? slash + 1 : info->dlpi_name;
  if (*search->fileName != base) return 0;
  search->found = true;
  if (search->fullPath != nullptr) *search->fullPath = info->dlpi_name;
  return 1;
}

}  // namespace

bool IsModuleLoaded(const std::string& fileName, std::string* fullPath) {
  ModuleSearch search{&fileName, fullPath, false};
  dl_iterate_phdr(MatchLoadedObject, &search);
  return search.found;
}

}  // namespace nexoral::platform
