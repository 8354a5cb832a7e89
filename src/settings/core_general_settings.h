// CCoreGeneralSettings: the process-wide settings host: application pool, event source, the
// settings lock and the flags the request handlers read. Created on first use through
// GetCoreGeneralSettings; started by the filter's start-up, stopped by its termination.
//
// This first version holds only what the filter spine needs: the settings files, the log
// configuration, the caches and the directory facts arrive with the settings subsystem.
#ifndef NEXORAL_SETTINGS_CORE_GENERAL_SETTINGS_H
#define NEXORAL_SETTINGS_CORE_GENERAL_SETTINGS_H

#include <atomic>
#include <string>

#include "common/sync.h"
#include "diagnostics/event_log.h"
#include "nexoral/win_types.h"

namespace nexoral {

class CCoreGeneralSettings {
 public:
  CCoreGeneralSettings() = default;
  CCoreGeneralSettings(const CCoreGeneralSettings&) = delete;
  CCoreGeneralSettings& operator=(const CCoreGeneralSettings&) = delete;
  virtual ~CCoreGeneralSettings() = default;

  // Start-up: reads the application pool from "APP_POOL_ID" and registers the event source
  // under productName. Returns success.
  bool Init(const char* productName, const char* moduleFileName, const char* resourceModuleName,
            const char* registryKey);
  // Re-reads what changed since the last call; *changed tells whether anything did.
  bool Refresh(bool* changed);
  // Shutdown: deregisters the event source.
  virtual void Term();

  CEventLog& EventLog() { return eventLog_; }
  // The settings lock: held around every read of a settings item.
  CSync& SettingsLock() { return settingsLock_; }

  const std::string& AppPool() const { return appPool_; }
  const std::string& ModuleFileName() const { return moduleFileName_; }
  DWORD OsMajorVersion() const { return osMajorVersion_; }

  // True when no loaded worker wants proxied requests.
  bool AllWorkersIgnoreProxied() const { return allWorkersIgnoreProxied_.load(); }
  void SetAllWorkersIgnoreProxied(bool value) { allWorkersIgnoreProxied_.store(value); }

 private:
  void ReadAppPool();

  CEventLog eventLog_;
  CCritSec settingsLock_;
  std::string appPool_;
  std::string moduleFileName_;
  DWORD osMajorVersion_ = 5;
  std::atomic<bool> allWorkersIgnoreProxied_{true};
};

// The settings host, created on first call under the global settings lock.
CCoreGeneralSettings* GetCoreGeneralSettings();

}  // namespace nexoral

#endif  // NEXORAL_SETTINGS_CORE_GENERAL_SETTINGS_H
