// CCoreGeneralSettings: the process-wide settings host. Besides what CGeneralSettings holds it
// owns the two cache clients (user properties "HiddenMessage", directory users "ADUserConfig"),
// the URL list, the computer name, the application pool, the OS major version and the
// all-workers-ignore-proxied flag, and feeds the log its settings. Created on first use through
// GetCoreGeneralSettings; started by the filter's start-up (Init), refreshed before each
// authenticated request (Refresh), stopped by its termination (Term).
#ifndef NEXORAL_SETTINGS_CORE_GENERAL_SETTINGS_H
#define NEXORAL_SETTINGS_CORE_GENERAL_SETTINGS_H

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "diagnostics/log_settings.h"
#include "nexoral/custom_property.h"
#include "properties/property_changes.h"
#include "properties/zq_cache.h"
#include "settings/general_settings.h"

namespace nexoral {

inline constexpr char kPropertyCacheName[] = "HiddenMessage";
inline constexpr char kDirectoryUserCacheName[] = "ADUserConfig";
inline constexpr char kAppPoolVariable[] = "APP_POOL_ID";

class CCoreGeneralSettings : public CGeneralSettings, public LogSettingsSource {
 public:
  CCoreGeneralSettings() = default;

  // The start-up sequence; true when every step succeeded. The diagnostic steps at its end run
  // whatever happened before.
  bool Init(const char* productName, const char* moduleFileName, const char* resourceModuleName,
            const char* registryKey);
  // Re-reads the criteria file when it changed, as the process; *changed tells whether it was
  // reloaded (the log is then set up again).
  bool Refresh(bool* changed);
  // Drops and shuts down both caches, then the base shutdown. True when all of it succeeded.
  bool Term() override;
  void ConfigureLog(const char* moduleFileName, const char* unused) override;

  // Logs the process's and the calling thread's accounts.
  void LogProcessAndThreadUser();
  // Logs the machine's domain and its domain controllers.
  void LogDomainInformation();
  // Starts the property cache (when the component can be made) and the directory-user cache;
  // false when a cache could not be created.
  bool StartCaches();
  // Starts the directory-user cache; true when it is usable.
  bool InitializeADUserCache();
  // Drops the user ("domain\user", "user@domain" or "user") from the directory-user cache.
  bool InvalidateADUserCache(const std::string& user);

  // The custom user properties (custom_properties.cpp), for any request thread. user is a logon
  // name, reduced to the cache key; props belongs to the caller; mailbox is the explicit-logon
  // mailbox or empty. Reads that hit the cache take no lock; everything that goes to the mailbox
  // store holds the user's stripe lock, so that store and cache change together per user.
  // Fills props with the user's values; the property id is the one asked for.
  bool GetCustomProperties(const std::string& user, CustomPropertyList& props, const std::string& ewsUrl,
                           const std::string& session, int32_t id, const std::string& authType,
                           const std::string& mailbox);
  // Stores props in the mailbox and the cache.
  bool SetCustomProperties(const std::string& user, CustomPropertyList& props, const std::string& ewsUrl,
                           const std::string& session, int32_t id, const std::string& authType,
                           const std::string& mailbox);
  // Removes property id from the user's cached text, so that its next read goes to the mailbox.
  bool RefreshCustomProperties(const std::string& user, const std::string& session, int32_t id);
  // Drops the cached properties of the mailbox ("domain\user" or "user") that another front end
  // changed, or of every user; the change feed calls them.
  void DropCachedProperties(const std::string& mailbox);
  void DropAllCachedProperties();
  // Start-up steps that read the machine: its DNS host name and its OS version.
  bool ReadComputerName();
  bool ReadOsVersion();

  // LogSettingsSource, each item read under the settings lock.
  bool CoreItemNumber(int32_t id, int32_t* value) override;
  bool CoreItemText(int32_t id, std::string* value) override;
  std::string InstallationFolderName() override { return InstallationName(); }
  std::string CommonFolder() override { return CommonFilesFolder(); }

  const std::string& AppPool() const { return appPool_; }
  const std::string& ComputerName() const { return computerName_; }
  DWORD OsMajorVersion() const { return osMajorVersion_; }
  const std::vector<std::string>& UrlList() const { return urlList_; }
  CZQCache& PropertyCache() { return propertyCache_; }
  const std::string& PropertyCacheName() const { return propertyCacheName_; }
  CZQCache& DirectoryUserCache() { return directoryUserCache_; }

  // True when no loaded worker wants proxied requests.
  bool AllWorkersIgnoreProxied() const { return allWorkersIgnoreProxied_.load(); }
  void SetAllWorkersIgnoreProxied(bool value) { allWorkersIgnoreProxied_.store(value); }

 private:
  void ReadAppPool();
  void ReadUrlList();
  int32_t CacheSizeItem(int32_t id, int32_t fallback, const char* missingText);
  // The lock of a user's properties (by cache key): one of kPropertyStripes.
  std::mutex& PropertyStripeOf(const std::string& userKey);
  // A logon name reduced to its property cache key: the user name in lower case, as account
  // names compare and as the mailbox store keys them. False for an unusable name.
  bool ReduceToPropertyKey(std::string& name) const;

  static constexpr size_t kPropertyStripes = 64;
  std::array<std::mutex, kPropertyStripes> propertyStripes_;

  CZQCache propertyCache_;
  std::string propertyCacheName_;
  CPropertyChanges propertyChanges_;
  CZQCache directoryUserCache_;
  std::vector<std::string> urlList_;
  std::string computerName_;
  std::string appPool_;
  DWORD osMajorVersion_ = 5;
  std::atomic<bool> allWorkersIgnoreProxied_{true};
};

// The settings host, created on first call under the global settings lock.
CCoreGeneralSettings* GetCoreGeneralSettings();

}  // namespace nexoral

#endif  // NEXORAL_SETTINGS_CORE_GENERAL_SETTINGS_H
