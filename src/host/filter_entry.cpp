// Start-up, dispatch and shutdown of the filter.
#include "host/filter_entry.h"

#include <cxxabi.h>
#include <unistd.h>

#include <string>

#include "diagnostics/event_log.h"
#include "diagnostics/log.h"
#include "host/base_notification.h"
#include "host/request_context.h"
#include "platform/thread_token.h"
#include "rewriting/cached_script_manager.h"
#include "settings/core_general_settings.h"

namespace nexoral {
namespace {

// Loads the workers and asks them for their notifications; the start-up result.
bool StartServiceWorkers(CServiceWorkers& serviceWorkers, HTTP_FILTER_VERSION* pVer,
                         const std::string& appPool) {
  if (!serviceWorkers.LoadServiceWorkers()) {
    if (serviceWorkers.IsActive()) {
      Log("ServiceWorkers failed to loaded");
    } else {
      Log("ServiceWorkers are not subscribed to this pool %s", appPool.c_str());
    }
    return false;
  }
  if (!serviceWorkers.IsActive()) {
    Log("ServiceWorkers are not subscribed to this pool %s", appPool.c_str());
    return false;
  }
  Log("ServiceWorkers loaded");
  if (!serviceWorkers.GetFilterVersion(pVer)) {
    Log("ServiceWorkers failed to initialize via GetFilterVersion");
    return false;
  }
  Log("ServiceWorkers initialized via GetFilterVersion");
  return true;
}

// The settings refresh runs as the worker process, not as the request's user.
void RefreshSettingsAsProcess() {
  platform::ProcessIdentityScope asProcess;
  bool changed = false;
  if (!GetCoreGeneralSettings()->Refresh(&changed)) Log("Core Refresh failed");
}

}  // namespace

BOOL StartFilter(CServiceWorkers& serviceWorkers, HTTP_FILTER_VERSION* pVer) {
  try {
    CCoreGeneralSettings* settings = GetCoreGeneralSettings();
    bool started = settings->Init(kProductName, kModuleFileName, kResourceModuleName,
                                  kCommonRegistryKey);
    Log("Core Initialization %s", started ? "SUCCEEDED" : "FAILED");

    const DWORD scriptResult = GetCachedScriptManager()->Init();
    Log("CachedScriptManager initialization %s, ret code: %d",
        scriptResult == 0 ? "SUCCEEDED" : "FAILED", static_cast<int>(scriptResult));

    if (started) started = StartServiceWorkers(serviceWorkers, pVer, settings->AppPool());
    if (!serviceWorkers.IsActive()) return TRUE;

    if (started) {
      ReportText(kReportInformation, "Nexoral successfully initialized in App Pool %s PID: %d",
                 settings->AppPool().c_str(), static_cast<int>(getpid()));
    } else {
      ReportText(kReportError, "Nexoral failed to initialize in App Pool %s PID: %d",
                 settings->AppPool().c_str(), static_cast<int>(getpid()));
    }
  } catch (...) {
    Log("GetFilterVersion got an unexpected exception");
  }
  return TRUE;
}

DWORD DispatchNotification(CServiceWorkers& serviceWorkers, HTTP_FILTER_CONTEXT* pfc,
                           DWORD notificationType, void* notificationData) {
  try {
    if (!serviceWorkers.IsActive() || pfc == nullptr) return SF_STATUS_REQ_NEXT_NOTIFICATION;
    if (notificationType == SF_NOTIFY_AUTH_COMPLETE) GetCachedScriptManager()->Refresh();
    if (serviceWorkers.Workers().empty() || !serviceWorkers.IsActive()) {
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
    }
    if (notificationType == SF_NOTIFY_AUTH_COMPLETE) RefreshSettingsAsProcess();
    CBaseNotification* handler = serviceWorkers.HandlerFor(notificationType);
    if (handler == nullptr) return SF_STATUS_REQ_NEXT_NOTIFICATION;
    return handler->Notify(pfc, notificationData);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    Log("HttpFilterProc got an unexpected exception for notification %d",
        static_cast<int>(notificationType));
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
}

BOOL StopFilter(CServiceWorkers& serviceWorkers, DWORD flags) {
  try {
    Log("TerminateFilter before SW calls flags %d", static_cast<int>(flags));
    if (serviceWorkers.IsActive()) serviceWorkers.TerminateWorkers(flags);
    Log("TerminateFilter request contexts still alive %lld",
        static_cast<long long>(LiveFilterContexts()));
    GetCoreGeneralSettings()->Term();
  } catch (...) {
    Log("TerminateFilter got an unexpected exception");
  }
  SetLogLock(nullptr);
  return TRUE;
}

CServiceWorkers& ProcessServiceWorkers() {
  static CServiceWorkers serviceWorkers;
  return serviceWorkers;
}

}  // namespace nexoral
