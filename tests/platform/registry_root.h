// Points the registry at a fresh temporary folder for the life of the object and restores the
// variable's earlier value when it goes. For fixtures of tests that open registry keys.
#ifndef NEXORAL_TESTS_PLATFORM_REGISTRY_ROOT_H
#define NEXORAL_TESTS_PLATFORM_REGISTRY_ROOT_H

#include <string>

#include "harness/scoped_environment.h"
#include "harness/temp_folder.h"
#include "platform/registry.h"

namespace nexoral::testing {

class RegistryRootOverride {
 public:
  // Points the registry somewhere else, a path below the folder for instance.
  void Use(const std::string& root) const { root_.Set(root); }
  const TempFolder& Folder() const { return folder_; }

 private:
  TempFolder folder_;
  ScopedEnvironment root_{platform::kRegistryRootVariable, folder_.Path()};
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_PLATFORM_REGISTRY_ROOT_H
