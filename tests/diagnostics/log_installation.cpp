// Log installations for tests.
#include "diagnostics/log_installation.h"

#include <sys/mman.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>

#include "diagnostics/log_setup.h"
#include "diagnostics/log_state.h"
#include "platform/shared_memory.h"

namespace nexoral::testing {

bool FakeLogSettings::CoreItemNumber(int32_t id, int32_t* value) {
  const auto found = items.find(id);
  if (found == items.end()) return false;
  const std::string& text = found->second;
  *value = 0;
  std::from_chars(text.data(), text.data() + text.size(), *value);
  return true;
}

bool FakeLogSettings::CoreItemText(int32_t id, std::string* value) {
  const auto found = items.find(id);
  if (found == items.end()) return false;
  *value = found->second;
  return true;
}

LogInstallation::LogInstallation(bool withLogModule)
    : moduleFileName(UniqueName("LogTest") + ".dll"),
      logFileName(moduleFileName.substr(0, moduleFileName.size() - 4) + ".log") {
  ResetLogState();
  settings.commonFolder = folder.Join("Common Files/");
  std::filesystem::create_directories(settings.commonFolder + "bin");
  if (withLogModule) {
    std::filesystem::create_symlink(NEXORAL_LOG_MODULE_PATH,
                                    settings.commonFolder + "bin/LogModule.so");
  }
}

LogInstallation::~LogInstallation() {
  ResetLogState();
  platform::RemoveSharedMemory(MappingName());
  // The lock object the log module made for this log (its documented name).
  shm_unlink(("/nexoral.loglock." + moduleFileName).c_str());
}

void LogInstallation::SelectOwnLog(int kind, int sizeKb) {
  settings.items[kItemLogSwitch] = "1";
  settings.items[kItemLogOutput] = std::to_string(kind);
  settings.items[kItemOwnLog] = "1";
  settings.items[kItemLogFolder] = folder.Path();
  if (sizeKb > 0) settings.items[kItemLogSizeKb] = std::to_string(sizeKb);
}

std::string LogInstallation::Configure() {
  ConfigureLog(settings, moduleFileName.c_str());
  return ProcessLogState().logPath;
}

}  // namespace nexoral::testing
