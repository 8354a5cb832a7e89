// CGeneralSettings: the product-independent part of the settings host. It knows the
// installation's folders, loads the settings files through the criteria engine (which holds
// the settings lock), the resource module and the RSA cookie library, owns the event source and
// answers item lookups under the settings lock. CCoreGeneralSettings completes it.
#ifndef NEXORAL_SETTINGS_GENERAL_SETTINGS_H
#define NEXORAL_SETTINGS_GENERAL_SETTINGS_H

#include <cstdint>
#include <string>

#include "criteria/handle_criteria_settings.h"
#include "diagnostics/event_log.h"
#include "settings/installation_paths.h"
#include "settings/resource_module.h"
#include "settings/rsa_library.h"

namespace nexoral {

inline constexpr char kDefaultEventSourceName[] = "Zephyrquill Docuglimpse";
inline constexpr char kSslOffloadedKey[] = "SYSTEM\\CurrentControlSet\\Services\\MSExchange OWA";
inline constexpr char kSslOffloadedValue[] = "SSLOffloaded";

class CGeneralSettings {
 public:
  CGeneralSettings() = default;
  CGeneralSettings(const CGeneralSettings&) = delete;
  CGeneralSettings& operator=(const CGeneralSettings&) = delete;
  virtual ~CGeneralSettings() = default;

  // The base start-up: event source, settings files, log, RSA library, module version, SSL
  // flag. Runs once; later calls return true at once.
  virtual bool InitGeneral(const char* productName, const char* moduleFileName,
                           const char* resourceModuleName, const char* registryKey,
                           int levelsUp);
  // Frees the resource module and the RSA library and deregisters the event source. True
  // when the event source is deregistered.
  virtual bool Term();
  // Sets the log up from the settings (the second argument is not used).
  virtual void ConfigureLog(const char* moduleFileName, const char* unused) = 0;
  // Folders, both settings files, the resource module and the RSA library. *errorText says why
  // it failed.
  virtual bool LoadSettings(const char* moduleFileName, const char* resourceModuleName,
                            std::string* errorText, int levelsUp);

  // Loads the RSA cookie library; 0 or the system error code.
  DWORD LoadRsaLibrary();
  // Logs the module's file and product versions and the date of its file.
  void LogModuleVersion();
  // Reads the "SSLOffloaded" flag of the web-mail service from the registry.
  void ReadSslOffloaded();
  // Reduces a logon name to the bare user name: "DOMAIN\user" and "domain/user" give "user",
  // "user@domain" gives "user". False for an empty name and for a separator at the end.
  bool ExtractUserName(std::string& userName) const;

  // Item lookups, each under the settings lock; false when the item is absent.
  bool GetCoreItem(int32_t id, int32_t& value);
  bool GetCoreItem(int32_t id, std::string& value);
  // A core item as a number, fallback when it is absent.
  int32_t CoreItemOr(int32_t id, int32_t fallback);
  bool GetServiceWorkerItem(int32_t serviceWorkerId, int32_t id, int32_t& value);
  bool GetServiceWorkerItem(int32_t serviceWorkerId, int32_t id, std::string& value);

  CEventLog& EventLog() { return eventLog_; }
  CHandleCriteriaSettings& Criteria() { return criteria_; }
  // The one lock around every settings read and load.
  CSync& SettingsLock() { return criteria_.Lock(); }

  const std::string& ModuleFolder() const { return paths_.moduleFolder; }
  const std::string& InstallationName() const { return paths_.installationFolderName; }
  const std::string& CommonFilesFolder() const { return paths_.commonFolder; }
  const std::string& SettingsFolder() const { return paths_.settingsFolder; }
  const std::string& ResourcePath() const { return paths_.resourcePath; }
  const std::string& ModuleFileName() const { return moduleFileName_; }
  const CResource& Resource() const { return resource_; }
  bool IsInitialised() const { return initialised_; }
  bool SslOffloaded() const { return sslOffloaded_; }
  bool RsaAvailable() const { return rsa_.Available(); }

 protected:
  // The full path of the loaded module of that name.
  virtual bool GetModulePath(const std::string& moduleFileName, std::string* path);
  // The three event ids of start-up reports.
  void SetEventIds(DWORD success, DWORD failure, DWORD failureWithText);
  // Reports a failure text to the event log.
  void ReportFailureText(const std::string& text);

 private:
  bool FindModuleFolder(const char* moduleFileName, int levelsUp, std::string* errorText,
                        std::string* moduleFolder);
  void ReportStartUp(bool succeeded, const std::string& errorText);

  CResource resource_;
  CEventLog eventLog_;
  CHandleCriteriaSettings criteria_;
  InstallationPaths paths_;
  CRsaLibrary rsa_;
  bool initialised_ = false;
  bool sslOffloaded_ = false;
  DWORD successEventId_ = 0;
  DWORD failureEventId_ = 0;
  DWORD failureTextEventId_ = 0;
  std::string moduleFileName_;
};

}  // namespace nexoral

#endif  // NEXORAL_SETTINGS_GENERAL_SETTINGS_H
