// Loading the RSA cookie library.
#include "settings/rsa_library.h"

#include "platform/module_names.h"
#include "platform/error_codes.h"

namespace nexoral {

DWORD CRsaLibrary::Load() {
  Free();
  SetLastError(0);
  module_ = platform::LoadedModule::Load(platform::SharedObjectFileName(kRsaLibraryName));
  if (module_ == nullptr) {
    const DWORD error = GetLastError();
    return error != 0 ? error : 1;
  }
  bool allFound = true;
  for (size_t i = 0; i < kRsaFunctionNames.size(); ++i) {
    functions_[i] = module_->FindExport(kRsaFunctionNames[i]);
    allFound = allFound && functions_[i] != nullptr;
  }
  available_ = allFound;
  if (allFound) return 0;
  const DWORD error = GetLastError();
  return error != 0 ? error : 1;
}

void CRsaLibrary::Free() {
  functions_.fill(nullptr);
  available_ = false;
  module_.reset();
}

}  // namespace nexoral
