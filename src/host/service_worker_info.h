// CServiceWorkerDLLInfo: one configured service worker: where it lives, its place in the list,
// its entry points and what it asked for. Built at start-up, read-only while requests run.
#ifndef NEXORAL_HOST_SERVICE_WORKER_INFO_H
#define NEXORAL_HOST_SERVICE_WORKER_INFO_H

#include <cstdint>
#include <string>
#include <vector>

#include "common/subscription_match.h"
#include "nexoral/filter_interface.h"
#include "nexoral/ref_handle.h"
#include "nexoral/request_info.h"
#include "platform/module_loader.h"

namespace nexoral {

class CCoreGeneralSettings;

class CServiceWorkerDLLInfo {
 public:
  CServiceWorkerDLLInfo() = default;
  CServiceWorkerDLLInfo(const CServiceWorkerDLLInfo&) = delete;
  CServiceWorkerDLLInfo& operator=(const CServiceWorkerDLLInfo&) = delete;
  virtual ~CServiceWorkerDLLInfo() = default;

  // True when the worker's notification flags contain the notification type.
  bool WantsNotification(DWORD notificationType) const {
    return (NotificationFlags & notificationType) != 0;
  }

  // Checks the application pool and, when the worker is meant for it, loads the module and
  // resolves its three entry points. False when the worker must not stay in the list.
  bool Initialize(const std::string& appPool);
  // True when the pool list is empty or names appPool (ignoring case).
  bool CheckAppPoolSubscription(const std::string& appPool) const;
  // Tests the URL against the worker's exclusions, then its subscriptions, in the settings
  // host's core settings file, under the settings lock. True when subscribed.
  bool CheckFolderSubscription(CCoreGeneralSettings& settings, const std::string& url,
                               const std::string& extension, SubscriptionMatch& match,
                               const CRequestInfo& requestInfo) const;
  // The worker's TerminateFilter result when it was initialised and subscribed, else TRUE.
  BOOL Terminate(DWORD flags) const;

  std::string Path;            // full path of the worker module
  std::string Name;            // display name
  int32_t Order = 0;           // place in the list, ascending
  uint32_t LoadValue = 0;      // never 0 for a listed worker
  uint32_t Id = 0;             // the worker's id in the core settings file
  bool Subscribed = true;      // meant for this application pool
  std::vector<std::string> AppPools;
  CRefHandle<platform::LoadedModule> Module;  // unloaded with the last reference
  uint32_t NotificationFlags = 0;  // what the worker's GetFilterVersion asked for
  bool Initialised = false;        // the worker's GetFilterVersion returned TRUE
  bool IgnoresProxied = true;      // not called for proxied requests
  PFN_GETFILTERVERSION pGetFilterVersion = nullptr;
  PFN_TERMINATEFILTER pTerminateFilter = nullptr;
  PFN_HTTPFILTERPROC pHttpFilterProc = nullptr;
};

}  // namespace nexoral

#endif  // NEXORAL_HOST_SERVICE_WORKER_INFO_H
