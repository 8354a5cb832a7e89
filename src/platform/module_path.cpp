// Finding loaded modules through the dynamic loader's list of objects.
#include "platform/module_path.h"

#include <dlfcn.h>
#include <link.h>
#include <strings.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/error_codes.h"
#include "platform/module_names.h"

namespace nexoral::platform {
namespace {

struct NameSearch {
  std::string fileName;
  std::string path;
  bool found = false;
};

int MatchObjectName(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<NameSearch*>(data);
  if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
  const char* slash = std::strrchr(info->dlpi_name, '/');
  const char* base = slash != nullptr ? slash + 1 : info->dlpi_name;
  if (strcasecmp(base, search->fileName.c_str()) != 0) return 0;
  search->found = true;
  search->path = info->dlpi_name;
  return 1;
}

// The loader may name an object by a relative path; make it absolute where it exists.
std::string AbsolutePath(const std::string& path) {
  char resolved[PATH_MAX];
  if (path.empty() || path.front() == '/') return path;
  if (realpath(path.c_str(), resolved) == nullptr) return path;
  return resolved;
}

// A marker whose address lies in the object that holds this code.
void OwnAddressMarker() {}

struct AddressSearch {
  uintptr_t address = 0;
  bool inMainProgram = false;
};

// The loader reports the main program first.
int CheckMainProgram(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<AddressSearch*>(data);
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD) continue;
    const uintptr_t start = info->dlpi_addr + header.p_vaddr;
    if (search->address >= start && search->address < start + header.p_memsz) {
      search->inMainProgram = true;
    }
  }
  return 1;
}

bool IsInMainProgram(const void* address) {
  AddressSearch search;
  search.address = reinterpret_cast<uintptr_t>(address);
  dl_iterate_phdr(CheckMainProgram, &search);
  return search.inMainProgram;
}

}  // namespace

bool GetOwnModulePath(std::string* path) {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OwnAddressMarker), &info) == 0 || info.dli_fname == nullptr) {
    return false;
  }
  if (IsInMainProgram(reinterpret_cast<const void*>(&OwnAddressMarker))) return false;
  if (path != nullptr) *path = AbsolutePath(info.dli_fname);
  return true;
}

bool GetLoadedModulePath(const std::string& moduleName, std::string* path) {
  NameSearch search;
  const std::string soName = SharedObjectFileName(moduleName);
  const size_t slash = soName.find_last_of('/');
  search.fileName = slash == std::string::npos ? soName : soName.substr(slash + 1);
  if (!search.fileName.empty()) dl_iterate_phdr(MatchObjectName, &search);
  if (search.found) {
    if (path != nullptr) *path = AbsolutePath(search.path);
    return true;
  }
  if (GetOwnModulePath(path)) return true;
  SetLastError(kErrorModNotFound);
  return false;
}

}  // namespace nexoral::platform
