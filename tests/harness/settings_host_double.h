// A settings host for in-process tests: the module it was "loaded from" is a path the test
// chooses (a test installation's Nexoral.so), and setting up the log is only counted, so that a
// LogCapture keeps the lines. Everything else is the real settings host.
#ifndef NEXORAL_TESTS_HARNESS_SETTINGS_HOST_DOUBLE_H
#define NEXORAL_TESTS_HARNESS_SETTINGS_HOST_DOUBLE_H

#include <string>

#include "settings/core_general_settings.h"

namespace nexoral::testing {

inline constexpr char kTestProductName[] = "Zephyrquill Nexoral";
inline constexpr char kTestModuleFileName[] = "Nexoral.dll";
inline constexpr char kTestResourceModuleName[] = "CoreRes.dll";
inline constexpr char kTestRegistryKey[] = "SOFTWARE\\Zephyrquill\\Common Files";

class SettingsHostDouble : public CCoreGeneralSettings {
 public:
  // modulePath empty: the module is not found.
  explicit SettingsHostDouble(std::string modulePath) : modulePath_(std::move(modulePath)) {}
  ~SettingsHostDouble() override { Term(); }

  bool Start() {
    return Init(kTestProductName, kTestModuleFileName, kTestResourceModuleName, kTestRegistryKey);
  }
  void ConfigureLog(const char* moduleFileName, const char*) override {
    ++logConfigurations;
    configuredModule = moduleFileName != nullptr ? moduleFileName : "";
  }

  int logConfigurations = 0;
  std::string configuredModule;

 protected:
  bool GetModulePath(const std::string&, std::string* path) override {
    if (modulePath_.empty()) return false;
    *path = modulePath_;
    return true;
  }

 private:
  std::string modulePath_;
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_HARNESS_SETTINGS_HOST_DOUBLE_H
