// Building, starting and stopping the service-worker list.
#include "host/service_workers.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "diagnostics/event_log.h"
#include "diagnostics/log.h"
#include "notifications/auth_complete_notification.h"
#include "notifications/end_of_request_notification.h"
#include "notifications/end_of_session_notification.h"
#include "notifications/preproc_notification.h"
#include "notifications/send_raw_data_notification.h"
#include "notifications/send_response_notification.h"
#include "platform/file_system.h"
#include "platform/module_version.h"
#include "settings/core_general_settings.h"
#include "settings/core_items.h"
#include "settings/installation_paths.h"
#include "settings/split_string.h"

namespace nexoral {
namespace {

// The worker's description, which it may have left without a terminator.
std::string FilterDescription(const HTTP_FILTER_VERSION& version) {
  return std::string(version.lpszFilterDesc,
                     strnlen(version.lpszFilterDesc, sizeof(version.lpszFilterDesc)));
}

// The file version a worker module states; empty when it states none.
std::string WorkerVersionText(const CServiceWorkerDLLInfo& worker) {
  platform::ModuleVersionTexts version;
  platform::ReadModuleVersion(worker.Path, &version);
  return version.fileVersion;
}

// The worker record of one configured id, or a null handle when the id is skipped.
CRefHandle<CServiceWorkerDLLInfo> MakeWorkerRecord(CCoreGeneralSettings& settings, int32_t id,
                                                   const std::string& root) {
  std::string relativePath;
  if (!settings.GetServiceWorkerItem(id, kWorkerItemModulePath, relativePath)) {
    Log("LoadServiceWorkers path not found for SW ID: %d", static_cast<int>(id));
    return {};
  }
  const std::string path = root + relativePath;
  if (!platform::PathExists(path)) {
    LogError(GetLastError(), "LoadServiceWorkers path to service worker dll invalid %s", path.c_str());
    ReportText(kReportError, "Zephyrquill path to service worker dll invalid Path: %s AppPool: %s",
               path.c_str(), settings.AppPool().c_str());
    return {};
  }
  int32_t loadValue = 0;
  if (!settings.GetServiceWorkerItem(id, kWorkerItemEnabled, loadValue) || loadValue == 0) {
    return {};
  }
  CRefHandle<CServiceWorkerDLLInfo> worker = MakeRefHandle<CServiceWorkerDLLInfo>();
  worker->Path = path;
  worker->LoadValue = static_cast<uint32_t>(loadValue);
  worker->Id = static_cast<uint32_t>(id);
  settings.GetServiceWorkerItem(id, kWorkerItemOrder, worker->Order);
  settings.GetServiceWorkerItem(id, kWorkerItemDisplayName, worker->Name);
  std::string pools;
  if (settings.GetServiceWorkerItem(id, kWorkerItemAppPools, pools)) {
    SplitString(pools, ";", worker->AppPools);
  }
  return worker;
}

// Calls the worker's GetFilterVersion with a zeroed record; an exception counts as FALSE.
BOOL CallWorkerGetFilterVersion(const CServiceWorkerDLLInfo& worker, HTTP_FILTER_VERSION& version) {
  if (worker.pGetFilterVersion == nullptr) return FALSE;
  try {
    return worker.pGetFilterVersion(&version);
  } catch (...) {
    Log("GetFilterVersion SW %s threw an exception", worker.Name.c_str());
    return FALSE;
  }
}

}  // namespace

CServiceWorkers::CServiceWorkers() = default;
CServiceWorkers::~CServiceWorkers() = default;

bool CServiceWorkers::LoadServiceWorkers() { return LoadServiceWorkers(*GetCoreGeneralSettings()); }

bool CServiceWorkers::LoadServiceWorkers(CCoreGeneralSettings& settings) {
  const std::string root = ServiceWorkerRoot(settings.ModuleFolder());
  std::vector<int32_t> ids;
  {
    CSyncGuard guard(settings.SettingsLock());
    ids = settings.Criteria().Core().ServiceWorkerOrder();
  }
  bool allIgnoreProxied = true;
  for (const int32_t id : ids) {
    CRefHandle<CServiceWorkerDLLInfo> worker = MakeWorkerRecord(settings, id, root);
    if (!worker) continue;
    if (worker->Initialize(settings.AppPool())) workers_.push_back(worker);
    int32_t proxiedHandling = 1;
    settings.GetServiceWorkerItem(id, kWorkerItemFlag, proxiedHandling);
    worker->IgnoresProxied = proxiedHandling == 1;
    if (proxiedHandling == 0) allIgnoreProxied = false;
  }
  if (workers_.empty()) {
    Log("LoadServiceWorkers no Service workers are loaded");
  } else {
    settings.SetAllWorkersIgnoreProxied(allIgnoreProxied);
    std::stable_sort(workers_.begin(), workers_.end(),
                     [](const CRefHandle<CServiceWorkerDLLInfo>& a,
                        const CRefHandle<CServiceWorkerDLLInfo>& b) { return a->Order < b->Order; });
  }
  UpdateActiveFlag();
  CreateHandlers();
  return !workers_.empty();
}

bool CServiceWorkers::GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
  const std::string& appPool = GetCoreGeneralSettings()->AppPool();
  bool anyInitialised = false;
  for (const CRefHandle<CServiceWorkerDLLInfo>& worker : workers_) {
    if (!worker->Subscribed) continue;
    const std::string version = WorkerVersionText(*worker);
    HTTP_FILTER_VERSION workerVersion{};
    const BOOL taken = CallWorkerGetFilterVersion(*worker, workerVersion);
    if (taken) {
      if (pVer != nullptr) pVer->dwFlags |= workerVersion.dwFlags;
      worker->NotificationFlags = workerVersion.dwFlags;
      Log("GetFilterVersion SW %s, Version: %s", worker->Name.c_str(), version.c_str());
      ReportText(kReportInformation, "Zephyrquill loaded and initialized SW %s, Version: %s AppPool: %s",
                 worker->Name.c_str(), version.c_str(), appPool.c_str());
    } else {
      Log("Service Worker failed to initialize %s, %s Version: %d", worker->Name.c_str(),
          FilterDescription(workerVersion).c_str(), static_cast<int>(workerVersion.dwFilterVersion));
      Log("GetFilterVersion failed SW %s, Version: %s", worker->Name.c_str(), version.c_str());
      ReportText(kReportError, "Zephyrquill failed to initialize SW %s, Version: %s AppPool: %s",
                 worker->Name.c_str(), version.c_str(), appPool.c_str());
    }
    worker->Initialised = taken != FALSE;
    anyInitialised = anyInitialised || worker->Initialised;
  }
  if (anyInitialised && pVer != nullptr) {
    pVer->dwFlags |= SF_NOTIFY_END_OF_REQUEST | SF_NOTIFY_END_OF_NET_SESSION;
  }
  return anyInitialised;
}

void CServiceWorkers::TerminateWorkers(DWORD flags) {
  for (const CRefHandle<CServiceWorkerDLLInfo>& worker : workers_) worker->Terminate(flags);
}

void CServiceWorkers::AddWorker(CRefHandle<CServiceWorkerDLLInfo> worker) {
  if (worker) workers_.push_back(std::move(worker));
}

void CServiceWorkers::UpdateActiveFlag() {
  active_ = false;
  for (const CRefHandle<CServiceWorkerDLLInfo>& worker : workers_) {
    if (worker->LoadValue != 0 && worker->Subscribed) active_ = true;
  }
}

void CServiceWorkers::CreateHandlers() {
  preProcHandler_ = MakeRefHandle<CPreProcNotification>(this);
  authCompleteHandler_ = MakeRefHandle<CAuthCompleteNotification>(this);
  sendResponseHandler_ = MakeRefHandle<CSendResponseNotification>(this);
  sendRawDataHandler_ = MakeRefHandle<CSendRawDataNotification>(this);
  endOfRequestHandler_ = MakeRefHandle<CEndOfRequestNotification>(this);
  endOfSessionHandler_ = MakeRefHandle<CEndOfSessionNotification>(this);
}

CBaseNotification* CServiceWorkers::HandlerFor(DWORD notificationType) const {
  switch (notificationType) {
    case SF_NOTIFY_PREPROC_HEADERS:
      return preProcHandler_.get();
    case SF_NOTIFY_AUTH_COMPLETE:
      return authCompleteHandler_.get();
    case SF_NOTIFY_SEND_RESPONSE:
      return sendResponseHandler_.get();
    case SF_NOTIFY_SEND_RAW_DATA:
      return sendRawDataHandler_.get();
    case SF_NOTIFY_END_OF_REQUEST:
      return endOfRequestHandler_.get();
    case SF_NOTIFY_END_OF_NET_SESSION:
      return endOfSessionHandler_.get();
    default:
      return nullptr;
  }
}

}  // namespace nexoral
