// The log set-up.
#include "diagnostics/log_setup.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <mutex>
#include <string_view>

#include "diagnostics/log_module_api.h"
#include "diagnostics/log_state.h"
#include "diagnostics/log_writers.h"
#include "platform/module_names.h"
#include "platform/system_paths.h"

namespace nexoral {
namespace {

constexpr int32_t kOutputSharedMemory = 1;
constexpr int32_t kOutputBufferedFile = 2;
constexpr int32_t kSwitchOn = 1;
constexpr int32_t kSwitchOnKeepingPlainOutput = 10;
constexpr size_t kLongestConfiguredName = 260;
constexpr size_t kKeptNameTail = 130;
constexpr long long kLongestLogFolder = 243;
constexpr long long kLongestSystemDirectory = 234;
constexpr std::array<const char*, 5> kReservedNames{"AUX", "CON", "NUL", "PRN", "CLOCKS$"};

int32_t NumberItem(LogSettingsSource& settings, int32_t id, int32_t absent) {
  int32_t value = 0;
  return settings.CoreItemNumber(id, &value) ? value : absent;
}

std::string TextItem(LogSettingsSource& settings, int32_t id) {
  std::string value;
  return settings.CoreItemText(id, &value) ? value : std::string();
}

std::string TrimBlanks(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// "COM" or "LPT" followed by a digit that ends the name or comes before a ".".
bool NamesNumberedDevice(const std::string& name) {
  for (size_t at = 0; at + 4 <= name.size(); ++at) {
    const bool device = strncasecmp(name.c_str() + at, "COM", 3) == 0 ||
                        strncasecmp(name.c_str() + at, "LPT", 3) == 0;
    if (!device || !std::isdigit(static_cast<unsigned char>(name[at + 3]))) continue;
    if (at + 4 == name.size() || name[at + 4] == '.') return true;
  }
  return false;
}

// Chooses the writer for the output kind; other kinds keep the current writer. False when the
// size item is out of range: the size stays as it was.
bool SelectWriter(LogState& state, int32_t kind, int32_t sizeKb) {
  if (kind != kOutputSharedMemory && kind != kOutputBufferedFile) return true;
  std::lock_guard<std::mutex> guard(state.mutex);
  state.writer.store(kind == kOutputBufferedFile ? BufferedLogWriter : SharedMemoryLogWriter);
  if (kind == kOutputSharedMemory) state.dumpAtExit = true;
  if (sizeKb < kSmallestLogSizeKb || sizeKb > kLargestLogSizeKb) return false;
  state.sizeLimit = sizeKb * 1024;
  return true;
}

std::shared_ptr<platform::LoadedModule> LoadLogModule(LogSettingsSource& settings) {
  const std::string fileName = platform::SharedObjectFileName(kLogModuleName);
  std::unique_ptr<platform::LoadedModule> module =
      platform::LoadedModule::Load(settings.CommonFolder() + "bin/" + fileName);
  if (module == nullptr) module = platform::LoadedModule::Load(fileName);
  return std::shared_ptr<platform::LoadedModule>(std::move(module));
}

void ReplaceLogModule(LogState& state, std::shared_ptr<platform::LoadedModule> module) {
  std::lock_guard<std::mutex> guard(state.mutex);
  if (state.logModule != nullptr) state.retiredLogModules.push_back(state.logModule);
  state.logModule = std::move(module);
}

CSync* ProductLock(const platform::LoadedModule* module, const std::string& logName, int option) {
  CSync* lock = nullptr;
  if (module == nullptr) return lock;
  if (auto getLock = module->FindFunction<GetProductLockFunction>(kGetProductLockExport)) {
    getLock(logName.c_str(), &lock, option);
  }
  return lock;
}

CSync* GeneralLock(const platform::LoadedModule* module, int option) {
  CSync* lock = nullptr;
  if (module == nullptr) return lock;
  if (auto getLock = module->FindFunction<GetGeneralLockFunction>(kGetGeneralLockExport)) {
    getLock(&lock, option);
  }
  return lock;
}

void InstallLock(LogState& state, CSync* lock) {
  state.logLock.store(lock);
  if (lock != nullptr) state.flushLock.store(lock);
}

void SetUpLog(LogSettingsSource& settings, const std::string& moduleFileName, int32_t kind,
              int switchValue) {
  LogState& state = ProcessLogState();
  const int option = NumberItem(settings, kItemLogModuleOption, 1);
  state.logSwitch.store(kLogSwitchOff);
  ReplaceLogModule(state, LoadLogModule(settings));
  const platform::LoadedModule* module = state.logModule.get();

  std::string name;
  {
    // Only the common log names the module on each line; a reconfiguration starts without.
    std::lock_guard<std::mutex> guard(state.mutex);
    state.linePrefix.clear();
  }
  if (NumberItem(settings, kItemOwnLog, 0) == 0) {
    const std::string configured = TextItem(settings, kItemLogFileName);
    if (!configured.empty()) {
      name = CommonLogFileName(configured);
      if (kind == kOutputSharedMemory) {
        InstallLock(state, ProductLock(module, settings.InstallationFolderName(), option));
      } else {
        InstallLock(state, ProductLock(module, moduleFileName, option));
      }
    } else {
      name = kCommonLogFileName;
      {
        std::lock_guard<std::mutex> guard(state.mutex);
        state.linePrefix = "[" + moduleFileName + "] ";
      }
      InstallLock(state, GeneralLock(module, option));
    }
  } else {
    {
      std::lock_guard<std::mutex> guard(state.mutex);
      state.dumpAtExit = true;
    }
    name = OwnLogFileName(moduleFileName);
    InstallLock(state, ProductLock(module, moduleFileName, option));
  }

  std::string path = LogPathFor(TextItem(settings, kItemLogFolder), name);
  if (path.size() > kLogPathChars) path.resize(kLogPathChars);
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    state.logPath = path;
    // A log switched off, or written by another writer, keeps no plain file open; a new path
    // is opened at the plain writer's next line.
    if (switchValue == kLogSwitchOff || CurrentLogWriter() != PlainLogWriter) ClosePlainLog(state);
  }
  state.logSwitch.store(switchValue);
}

}  // namespace

bool IsUsableLogFileName(const std::string& name) {
  const std::string trimmed = TrimBlanks(name);
  if (trimmed.find_first_not_of('.') == std::string::npos) return false;
  for (const char* reserved : kReservedNames) {
    if (strcasecmp(trimmed.c_str(), reserved) == 0) return false;
  }
  return !NamesNumberedDevice(trimmed);
}

std::string CommonLogFileName(const std::string& configuredName) {
  std::string name = configuredName;
  if (name.size() > kLongestConfiguredName) name = name.substr(name.size() - kKeptNameTail);
  name = TrimBlanks(name);
  for (char& c : name) {
    if (std::string_view("\\/:\"?*<>|").find(c) != std::string_view::npos) c = '_';
  }
  return IsUsableLogFileName(name) ? name : "ZQ_" + name;
}

std::string OwnLogFileName(const std::string& moduleFileName) {
  std::string name = moduleFileName;
  for (size_t at = 0; at + 4 <= name.size(); ++at) {
    if (strncasecmp(name.c_str() + at, ".dll", 4) == 0) name.replace(at, 4, ".log");
  }
  return name;
}

std::string LogPathFor(const std::string& folderItem, const std::string& name) {
  const long long nameLength = static_cast<long long>(name.size());
  if (!folderItem.empty()) {
    if (static_cast<long long>(folderItem.size()) < kLongestLogFolder - nameLength) {
      return folderItem + "/" + kLogFolderName + "/" + name;
    }
    return platform::FallbackLogPath();
  }
  const std::string systemDirectory = platform::SystemDirectory();
  if (systemDirectory.empty() ||
      static_cast<long long>(systemDirectory.size()) >= kLongestSystemDirectory - nameLength) {
    return platform::FallbackLogPath();
  }
  return systemDirectory + "/LogFiles/" + kLogFolderName + "/" + name;
}

void ConfigureLog(LogSettingsSource& settings, const char* moduleFileName) {
  LogState& state = ProcessLogState();
  state.logSwitch.store(kLogSwitchOff);
  const int32_t switchItem = NumberItem(settings, kItemLogSwitch, 0);
  const int32_t kind = NumberItem(settings, kItemLogOutput, kOutputSharedMemory);
  const int32_t sizeKb = NumberItem(settings, kItemLogSizeKb, 1048576);
  const bool on = switchItem == kSwitchOn || switchItem == kSwitchOnKeepingPlainOutput;
  const bool sizeTaken =
      switchItem == kSwitchOnKeepingPlainOutput || SelectWriter(state, kind, sizeKb);
  SetUpLog(settings, moduleFileName != nullptr ? moduleFileName : "", kind,
           on ? kLogSwitchWrite : kLogSwitchOff);
  if (!sizeTaken) {
    int32_t size = 0;
    {
      std::lock_guard<std::mutex> guard(state.mutex);
      size = state.sizeLimit;
    }
    Log("Log size item %d is %d KB, outside %d to %d KB: ignored, the log size stays %d bytes",
        kItemLogSizeKb, sizeKb, kSmallestLogSizeKb, kLargestLogSizeKb, size);
  }
}

}  // namespace nexoral
