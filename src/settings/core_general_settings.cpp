// Start-up, refresh and shutdown of the settings host.
#include "settings/core_general_settings.h"

#include <unistd.h>

#include <cstdlib>

#include "common/static_memory.h"
#include "diagnostics/log.h"
#include "diagnostics/log_setup.h"
#include "platform/computer_name.h"
#include "platform/error_codes.h"
#include "platform/os_version.h"
#include "platform/thread_token.h"
#include "settings/core_items.h"
#include "settings/split_string.h"

namespace nexoral {
namespace {

CCritSec& GlobalSettingsLock() {
  static CCritSec lock;
  return lock;
}

}  // namespace

bool CCoreGeneralSettings::Init(const char* productName, const char* moduleFileName,
                                const char* resourceModuleName, const char* registryKey) {
  SetEventIds(kEventIdInitialized, kEventIdInitFailed, kEventIdText);
  ReadAppPool();
  bool result = InitGeneral(productName, moduleFileName, resourceModuleName, registryKey, 0);
  if (result) {
    result = ReadComputerName();
    LogProcessAndThreadUser();
    ReadUrlList();
    if (!StartCaches()) result = false;
  }
  if (!ReadOsVersion()) result = false;
  Log("Process ID %d, APP POOL %s", static_cast<int>(getpid()), appPool_.c_str());
  int32_t domainItem = 0;
  if (GetCoreItem(kItemLogDomainInformation, domainItem) && domainItem == 1) {
    LogDomainInformation();
  }
  return result;
}

void CCoreGeneralSettings::ReadAppPool() {
  const char* pool = std::getenv(kAppPoolVariable);
  appPool_ = pool != nullptr ? pool : "";
}

bool CCoreGeneralSettings::ReadComputerName() {
  if (!platform::GetDnsHostName(&computerName_)) {
    Log("CCoreGeneralSettings::Init failed to get computer name Error: %d",
        static_cast<int>(GetLastError()));
    return false;
  }
  Log("GetComputerName %s", computerName_.c_str());
  return true;
}

void CCoreGeneralSettings::ReadUrlList() {
  std::string text;
  GetCoreItem(kItemRawResponseUrls, text);
  urlList_.clear();
  SplitString(text, ";", urlList_);
}

int32_t CCoreGeneralSettings::CacheSizeItem(int32_t id, int32_t fallback,
                                            const char* missingText) {
  int32_t value = fallback;
  if (!GetCoreItem(id, value)) {
    Log("%s", missingText);
    value = fallback;
  }
  return value;
}

// The property cache when the component can be made, then the directory-user cache.
bool CCoreGeneralSettings::StartCaches() {
  if (propertyCache_.Init()) {
    const int32_t maxItems =
        CacheSizeItem(ID_MAX_CACHE_ITEMS, kDefaultMaxCacheItems,
                      "CCoreGeneralSettings::Init could find ID_MAX_CACHE_ITEMS use 3000 as default");
    const int32_t lifetime = CacheSizeItem(
        ID_CACHE_LIFETIME, kDefaultCacheLifetimeMinutes,
        "CCoreGeneralSettings::Init could find ID_CACHE_LIFETIME use 30 minutes as default");
    propertyCacheName_ = kPropertyCacheName;
    if (!propertyCache_.CreateCache(propertyCacheName_, maxItems, lifetime)) {
      Log("CCoreGeneralSettings::Init CreateCache failed");
      return false;
    }
    // With a store that front ends share, what another one changes leaves this cache.
    propertyChanges_.Start([this](const std::string* mailbox) {
      if (mailbox != nullptr) {
        DropCachedProperties(*mailbox);
      } else {
        DropAllCachedProperties();
      }
    });
  }
  return InitializeADUserCache();
}

bool CCoreGeneralSettings::InitializeADUserCache() {
  Log("InitializeADUserCache starts");
  if (!directoryUserCache_.Init()) {
    Log("CCoreGeneralSettings::InitializeCache failed to instantiate the Cache Object");
    return false;
  }
  const int32_t maxItems = CacheSizeItem(
      kItemDirectoryCacheItems, kDefaultDirectoryCacheItems,
      "CCoreGeneralSettings::InitializeADUserCache could find ID_MAX_CACHE_ITEMS use 3000 as default");
  const int32_t lifetime = CacheSizeItem(kItemDirectoryCacheLifetime,
                                         kDefaultDirectoryCacheLifetimeMinutes,
                                         "CCoreGeneralSettings::InitializeADUserCache could find "
                                         "ID_CACHE_LIFETIME use 30 minutes as default");
  const bool created = directoryUserCache_.CreateCache(kDirectoryUserCacheName, maxItems, lifetime);
  if (!created) Log("CCoreGeneralSettings::InitializeCache CreateCache failed");
  Log("InitializeADUserCache ends");
  return created;
}

bool CCoreGeneralSettings::ReadOsVersion() {
  platform::OsVersionInfo version;
  if (!platform::GetVersionEx(&version)) {
    Log("GetVersionEx failed %d", static_cast<int>(GetLastError()));
    return false;
  }
  osMajorVersion_ = version.majorVersion;
  Log("Version %d.%d Build: %d, Platform: %d SP: %s", static_cast<int>(version.majorVersion),
      static_cast<int>(version.minorVersion), static_cast<int>(version.buildNumber),
      static_cast<int>(version.platformId), version.servicePack.c_str());
  return true;
}

bool CCoreGeneralSettings::Refresh(bool* changed) {
  platform::ProcessIdentityScope asProcess;
  bool reloaded = false;
  const HRESULT hr = Criteria().Refresh(&reloaded);
  if (reloaded) ConfigureLog(ModuleFileName().c_str(), nullptr);
  if (changed != nullptr) *changed = reloaded;
  return Succeeded(hr);
}

namespace {

// Drops the cache's own entries and ends this client's start; false when the shutdown failed.
bool ShutDownCache(CZQCache& cache, const char* name, bool directoryCache) {
  if (!cache.IsInitialized()) return true;
  cache.DestroyCache(name);
  const HRESULT hr = cache.Shutdown();
  if (Succeeded(hr)) return true;
  Log("CCoreGeneralSettings::Term Shutdown %scache failed 0x%x", directoryCache ? "AD " : "",
      static_cast<unsigned>(hr));
  return false;
}

}  // namespace

bool CCoreGeneralSettings::Term() {
  propertyChanges_.Stop();
  const bool propertiesDown = ShutDownCache(propertyCache_, kPropertyCacheName, false);
  const bool directoryDown = ShutDownCache(directoryUserCache_, kDirectoryUserCacheName, true);
  const bool baseDown = CGeneralSettings::Term();
  return propertiesDown && directoryDown && baseDown;
}

void CCoreGeneralSettings::ConfigureLog(const char* moduleFileName, const char*) {
  nexoral::ConfigureLog(static_cast<LogSettingsSource&>(*this), moduleFileName);
}

bool CCoreGeneralSettings::CoreItemNumber(int32_t id, int32_t* value) {
  return value != nullptr && GetCoreItem(id, *value);
}

bool CCoreGeneralSettings::CoreItemText(int32_t id, std::string* value) {
  return value != nullptr && GetCoreItem(id, *value);
}

void CCoreGeneralSettings::LogProcessAndThreadUser() {
  HANDLE threadToken = nullptr;
  const bool impersonating = platform::OpenThreadToken(&threadToken);
  const DWORD threadOutcome = impersonating ? 0 : GetLastError();
  platform::RevertToSelf();

  const platform::TokenIdentity process = platform::ProcessIdentity();
  LogError(0, "Process User: %s Domain: %s", process.user.c_str(), process.domain.c_str());

  platform::TokenIdentity thread;
  DWORD outcome = threadOutcome;
  if (impersonating && !platform::GetAccessTokenIdentity(threadToken, &thread)) {
    outcome = GetLastError();
  }
  LogError(outcome, "Thread User: %s Domain: %s SID: %s", thread.user.c_str(),
           thread.domain.c_str(), thread.sid.c_str());
  if (impersonating) {
    platform::SetThreadToken(threadToken);
    platform::CloseAccessToken(threadToken);
  }
}

CCoreGeneralSettings* GetCoreGeneralSettings() {
  static Mem_Manager::Static_memory<CCoreGeneralSettings> holder(GlobalSettingsLock());
  return holder.Acquire();
}

CEventLog& ProcessEventLog() { return GetCoreGeneralSettings()->EventLog(); }

}  // namespace nexoral
