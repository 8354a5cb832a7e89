// The RSA cookie library of the installation, "ZQ_RSALoad64.dll" (its shared object found by
// the loader's search order), held with the five functions it must export. Nothing in the
// filter calls them; the library is loaded at start-up for the service workers that do and
// freed at shutdown.
#ifndef NEXORAL_SETTINGS_RSA_LIBRARY_H
#define NEXORAL_SETTINGS_RSA_LIBRARY_H

#include <array>
#include <memory>

#include "nexoral/win_types.h"
#include "platform/module_loader.h"

namespace nexoral {

inline constexpr char kRsaLibraryName[] = "ZQ_RSALoad64.dll";
inline constexpr std::array<const char*, 5> kRsaFunctionNames = {
    "ZQ_RSACookieInitializeFilt", "ZQ_RSAGetUserName", "ZQ_RSAGetLastError", "ZQ_RSAFreeMemory",
    "ZQ_RSACookieInitializeExtNoMFC"};

class CRsaLibrary {
 public:
  // Loads the library, replacing one held before, and resolves the five functions. 0 when all
  // were found; otherwise the last system error (1 when a function is missing without one).
  DWORD Load();
  // Frees the library and clears the table.
  void Free();

  bool Available() const { return available_; }
  void* Function(size_t index) const { return index < functions_.size() ? functions_[index] : nullptr; }

 private:
  std::unique_ptr<platform::LoadedModule> module_;
  std::array<void*, kRsaFunctionNames.size()> functions_{};
  bool available_ = false;
};

}  // namespace nexoral

#endif  // NEXORAL_SETTINGS_RSA_LIBRARY_H
