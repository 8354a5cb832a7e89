// Points the registry at a fresh temporary folder for the life of the object and restores the
// variable's earlier value when it goes. For fixtures of tests that open registry keys.
#ifndef NEXORAL_TESTS_PLATFORM_REGISTRY_ROOT_H
#define NEXORAL_TESTS_PLATFORM_REGISTRY_ROOT_H

#include <cstdlib>
#include <optional>
#include <string>

#include "harness/temp_folder.h"
#include "platform/registry.h"

namespace nexoral::testing {

class RegistryRootOverride {
 public:
  RegistryRootOverride() {
    if (const char* earlier = std::getenv(platform::kRegistryRootVariable)) earlier_ = earlier;
    Use(folder_.Path());
  }
  ~RegistryRootOverride() {
    if (earlier_) {
      setenv(platform::kRegistryRootVariable, earlier_->c_str(), 1);
    } else {
      unsetenv(platform::kRegistryRootVariable);
    }
  }
  RegistryRootOverride(const RegistryRootOverride&) = delete;
  RegistryRootOverride& operator=(const RegistryRootOverride&) = delete;

  // Points the registry somewhere else, a path below the folder for instance.
  void Use(const std::string& root) const {
    setenv(platform::kRegistryRootVariable, root.c_str(), 1);
  }
  const TempFolder& Folder() const { return folder_; }

 private:
  TempFolder folder_;
  std::optional<std::string> earlier_;
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_PLATFORM_REGISTRY_ROOT_H
