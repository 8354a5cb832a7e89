// Loading one service worker and answering for it.
#include "host/service_worker_info.h"

#include "diagnostics/event_log.h"
#include "diagnostics/log.h"
#include "platform/ascii_text.h"
#include "platform/error_codes.h"
#include "settings/core_general_settings.h"
#include "settings/folder_subscription.h"

namespace nexoral {

bool CServiceWorkerDLLInfo::CheckAppPoolSubscription(const std::string& appPool) const {
  bool subscribed = false;
  if (AppPools.empty()) {
    Log("App pool empty for %s. Automaticalyy is subscribed", Name.c_str());
    subscribed = true;
  } else {
    for (const std::string& pool : AppPools) {
      if (platform::EqualsIgnoreCase(pool, appPool)) {
        subscribed = true;
        break;
      }
    }
  }
  Log("SW %s with ID %d is %s to App Pool %s", Name.c_str(), static_cast<int>(Id),
      subscribed ? "subscribed" : "not subscribed", appPool.c_str());
  return subscribed;
}

bool CServiceWorkerDLLInfo::Initialize(const std::string& appPool) {
  Subscribed = CheckAppPoolSubscription(appPool);
  if (!Subscribed) return true;

  std::string reason;
  std::unique_ptr<platform::LoadedModule> loaded = platform::LoadedModule::Load(Path, &reason);
  if (loaded == nullptr) {
    const DWORD error = GetLastError();
    LogError(error, "LoadServiceWorkers LoadLibrary failed %s Error: %d", Path.c_str(),
             static_cast<int>(error));
    Log("LoadServiceWorkers the loader said: %s", reason.c_str());
    ReportText(kReportError, "Zephyrquill couldn't load Service worker %s, %s error: %d",
               Name.c_str(), Path.c_str(), static_cast<int>(error));
    return false;
  }
  Module = CRefHandle<platform::LoadedModule>(loaded.release());

  std::string missing;
  pGetFilterVersion = Module->FindFunction<PFN_GETFILTERVERSION>("GetFilterVersion");
  if (pGetFilterVersion == nullptr) {
    LogError(GetLastError(), "CServiceWorkerDLLInfo::Initialize() couldn't find GetFilterVersion");
    missing += "GetFilterVersion";
  }
  pHttpFilterProc = Module->FindFunction<PFN_HTTPFILTERPROC>("HttpFilterProc");
  if (pHttpFilterProc == nullptr) {
    LogError(GetLastError(), "CServiceWorkerDLLInfo::Initialize() couldn't find HttpFilterProc");
    missing += " HttpFilterProc";
  }
  pTerminateFilter = Module->FindFunction<PFN_TERMINATEFILTER>("TerminateFilter");
  if (pTerminateFilter == nullptr) {
    LogError(GetLastError(), "CServiceWorkerDLLInfo::Initialize() couldn't find TerminateFilter");
    missing += " TerminateFilter";
  }
  NotificationFlags = 0;
  if (missing.empty()) return true;
  ReportText(kReportError, "Service worker %s  couldn't find exported function %s AppPool: %s",
             Name.c_str(), missing.c_str(), appPool.c_str());
  return false;
}

bool CServiceWorkerDLLInfo::CheckFolderSubscription(CCoreGeneralSettings& settings,
                                                    const std::string& url,
                                                    const std::string& extension,
                                                    SubscriptionMatch& match,
                                                    const CRequestInfo& requestInfo) const {
  match.ServiceWorkerId = Id;
  match.Subscribed = 0;
  CSyncGuard guard(settings.SettingsLock());
  const CCoreSettings& core = settings.Criteria().Core();
  const int32_t id = static_cast<int32_t>(Id);
  const bool excluded = nexoral::CheckFolderSubscription(url, extension, match, core.GetExclusions(id),
                                                         requestInfo.QueryParameters);
  if (excluded || match.Subscribed != 0) {
    match.Subscribed = 0;
    Log("CheckFolderSubscription URL excluded %s By %d, SWID: %d", url.c_str(),
        static_cast<int>(match.MatchedBy), id);
    return false;
  }
  const bool subscribed = nexoral::CheckFolderSubscription(url, extension, match,
                                                           core.GetSubscriptions(id),
                                                           requestInfo.QueryParameters);
  Log("CheckFolderSubscription URL %s, Subscribed: %d, By %d, SW_ID: %d", url.c_str(),
      subscribed ? 1 : 0, static_cast<int>(match.MatchedBy), id);
  return subscribed;
}

BOOL CServiceWorkerDLLInfo::Terminate(DWORD flags) const {
  if (!Initialised || !Subscribed || pTerminateFilter == nullptr) return TRUE;
  return pTerminateFilter(flags);
}

}  // namespace nexoral
