// The base start-up and shutdown of the settings host.
#include "settings/general_settings.h"

#include <cstdio>

#include "criteria/ad_user_config.h"
#include "diagnostics/log.h"
#include "platform/error_codes.h"
#include "platform/file_time.h"
#include "platform/module_path.h"
#include "platform/module_version.h"
#include "platform/registry.h"

namespace nexoral {

bool CGeneralSettings::InitGeneral(const char* productName, const char* moduleFileName,
                                   const char* resourceModuleName, const char*, int levelsUp) {
  if (initialised_) return true;
  const char* sourceName =
      productName != nullptr && productName[0] != '\0' ? productName : kDefaultEventSourceName;
  if (!eventLog_.IsRegistered()) eventLog_.Register(sourceName);

  std::string errorText;
  const bool loaded = LoadSettings(moduleFileName, resourceModuleName, &errorText, levelsUp);
  if (loaded) {
    moduleFileName_ = moduleFileName;
    ConfigureLog(moduleFileName_.c_str(), nullptr);
    const DWORD rsaResult = LoadRsaLibrary();
    if (rsaResult == 0) {
      Log("RSA loaded");
    } else {
      Log("Load RSA ZQ_RSALoad.dll failed with error %d", static_cast<int>(rsaResult));
    }
    LogModuleVersion();
    ReadSslOffloaded();
  }
  initialised_ = loaded;
  Log("General Settings %s initialization %s", loaded ? "successful" : "failed", errorText.c_str());
  ReportStartUp(loaded, errorText);
  return loaded;
}

void CGeneralSettings::ReportStartUp(bool succeeded, const std::string& errorText) {
  if (succeeded) {
    eventLog_.Report(kReportInformation, 0, successEventId_, 0, nullptr, {nullptr});
    return;
  }
  if (!errorText.empty()) {
    eventLog_.Report(kReportError, 0, failureTextEventId_, 0, nullptr, {errorText.c_str()});
  }
  eventLog_.Report(kReportError, 0, failureEventId_, 0, nullptr, {nullptr});
}

bool CGeneralSettings::FindModuleFolder(const char* moduleFileName, int levelsUp,
                                        std::string* errorText, std::string* moduleFolder) {
  std::string modulePath;
  if (!GetModulePath(moduleFileName, &modulePath)) {
    *errorText = std::string("Can not get module path ") + moduleFileName;
    Log("GetModulePath didn't find the module %s", moduleFileName);
    ReportFailureText(*errorText);
    return false;
  }
  *moduleFolder = ModuleFolderOf(modulePath, levelsUp);
  if (moduleFolder->empty()) {
    Log("Can not get ModulePath %s", moduleFileName);
    return false;
  }
  return true;
}

bool CGeneralSettings::LoadSettings(const char* moduleFileName, const char* resourceModuleName,
                                    std::string* errorText, int levelsUp) {
  std::string ignored;
  std::string& error = errorText != nullptr ? *errorText : ignored;
  if (moduleFileName == nullptr || moduleFileName[0] == '\0') {
    Log("LoadSettings has NULL ModuleName");
    return false;
  }
  std::string moduleFolder;
  if (!FindModuleFolder(moduleFileName, levelsUp, &error, &moduleFolder)) return false;
  paths_ = DeriveInstallationPaths(moduleFolder,
                                   resourceModuleName != nullptr ? resourceModuleName : "");
  if (paths_.settingsFolder.size() > kMaxSettingsFolderChars) {
    error = "Path length exceeded MAX_PATH ";
    Log(" LoadSettings incorrect path %s", paths_.settingsFolder.c_str());
    return false;
  }

  const HRESULT hr = criteria_.LoadSettings(paths_.settingsFolder);
  if (Failed(hr)) {
    Log("Failed to load settings from  %s HR 0x%x", paths_.settingsFolder.c_str(),
        static_cast<unsigned>(hr));
    error = "Loading Settings failed " + paths_.settingsFolder + " " + std::to_string(hr);
    ReportFailureText(error);
    return false;
  }

  // The directory the criteria read users from; lookups fail cleanly without one.
  LoadDirectoryConfiguration(paths_.settingsFolder);

  resource_.ConnectEventLog(&eventLog_);
  if (resource_.LoadModule(paths_.resourcePath) != 0) {
    error = "Load resource file failed " + paths_.resourcePath;
    ReportFailureText(error);
    return false;
  }

  const DWORD rsaResult = LoadRsaLibrary();
  if (rsaResult == 0) {
    Log("RSA loaded");
  } else {
    Log("Load RSA failed with error %d", static_cast<int>(rsaResult));
  }
  return true;
}

bool CGeneralSettings::Term() {
  initialised_ = false;
  if (!resource_.UnloadModule()) {
    Log("Resource class failed UnloadModule error %d", static_cast<int>(GetLastError()));
  }
  eventLog_.Deregister();
  rsa_.Free();
  return !eventLog_.IsRegistered();
}

DWORD CGeneralSettings::LoadRsaLibrary() { return rsa_.Load(); }

void CGeneralSettings::LogModuleVersion() {
  std::string modulePath;
  platform::ModuleVersionTexts version;
  if (!GetModulePath(moduleFileName_, &modulePath) ||
      !platform::ReadModuleVersion(modulePath, &version)) {
    Log("Can not open to read FileVer for %s", moduleFileName_.c_str());
    return;
  }
  std::string dateText = "DD.MM.YYY H:MM:S:MS ";
  platform::FileTime written{};
  if (platform::ReadFileLastWriteTime(modulePath, written) == 0) {
    const platform::UtcFields fields = platform::SplitUtc(written);
    char date[96];
    std::snprintf(date, sizeof(date), "%u.%u.%u %u:%u:%u:%u", fields.day, fields.month,
                  fields.year, fields.hour, fields.minute, fields.second, fields.millisecond);
    dateText += date;
  }
  Log("%s FileVer: %s, Product Ver: %s  %s", moduleFileName_.c_str(), version.fileVersion.c_str(),
      version.productVersion.c_str(), dateText.c_str());
}

void CGeneralSettings::ReadSslOffloaded() {
  platform::RegistryKey key;
  if (platform::RegistryKey::Open(kSslOffloadedKey, platform::RegistryAccess::kRead, &key) != 0) {
    return;
  }
  platform::RegistryValue value;
  DWORD number = 0;
  if (key.QueryValue(kSslOffloadedValue, &value) == 0 && value.type == platform::REG_DWORD) {
    number = value.number;
  }
  sslOffloaded_ = number == 1;
  Log("GetRegistryInfo SSLOffloaded %d", static_cast<int>(number));
}

bool CGeneralSettings::ExtractUserName(std::string& userName) const {
  if (userName.empty()) {
    Log("[CGeneralSettings::ExtractUserName] Username is empty.");
    return false;
  }
  const size_t backslash = userName.find('\\');
  const size_t at = userName.find('@');
  const size_t slash = userName.find('/');
  size_t separator = std::string::npos;
  if (backslash != std::string::npos) {
    separator = backslash;
  } else if (at != std::string::npos) {
    if (at + 1 < userName.size()) userName.resize(at);
    return true;
  } else {
    separator = slash;
  }
  if (separator == std::string::npos) return true;
  if (separator + 1 == userName.size()) {
    Log("CGeneralSettings::ExtractUserName got an invalid Username format %s ", userName.c_str());
    return false;
  }
  userName.erase(0, separator + 1);
  return true;
}

bool CGeneralSettings::GetCoreItem(int32_t id, int32_t& value) {
  CSyncGuard guard(SettingsLock());
  return criteria_.Core().GetItemValue(id, value);
}

bool CGeneralSettings::GetCoreItem(int32_t id, std::string& value) {
  CSyncGuard guard(SettingsLock());
  return criteria_.Core().GetItemValue(id, value);
}

int32_t CGeneralSettings::CoreItemOr(int32_t id, int32_t fallback) {
  int32_t value = fallback;
  return GetCoreItem(id, value) ? value : fallback;
}

bool CGeneralSettings::GetServiceWorkerItem(int32_t serviceWorkerId, int32_t id, int32_t& value) {
  CSyncGuard guard(SettingsLock());
  return criteria_.Core().GetServiceWorkerItemValue(serviceWorkerId, id, value);
}

bool CGeneralSettings::GetServiceWorkerItem(int32_t serviceWorkerId, int32_t id,
                                            std::string& value) {
  CSyncGuard guard(SettingsLock());
  return criteria_.Core().GetServiceWorkerItemValue(serviceWorkerId, id, value);
}

bool CGeneralSettings::GetModulePath(const std::string& moduleFileName, std::string* path) {
  return platform::GetLoadedModulePath(moduleFileName, path);
}

void CGeneralSettings::SetEventIds(DWORD success, DWORD failure, DWORD failureWithText) {
  successEventId_ = success;
  failureEventId_ = failure;
  failureTextEventId_ = failureWithText;
}

void CGeneralSettings::ReportFailureText(const std::string& text) {
  eventLog_.Report(kReportError, 0, failureTextEventId_ != 0 ? failureTextEventId_ : kEventIdText,
                   0, nullptr, {text.c_str()});
}

}  // namespace nexoral
