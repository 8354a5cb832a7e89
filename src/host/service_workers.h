// CServiceWorkers: the process-wide ordered list of loaded service workers, the active flag and
// the six notification handlers. Filled during the filter's start-up; read without locks while
// requests run; destroyed when the module unloads.
#ifndef NEXORAL_HOST_SERVICE_WORKERS_H
#define NEXORAL_HOST_SERVICE_WORKERS_H

#include <vector>

#include "host/service_worker_info.h"
#include "nexoral/filter_interface.h"
#include "nexoral/ref_handle.h"

namespace nexoral {

class CBaseNotification;
class CCoreGeneralSettings;
class CPreProcNotification;
class CAuthCompleteNotification;
class CSendResponseNotification;
class CSendRawDataNotification;
class CEndOfRequestNotification;
class CEndOfSessionNotification;

using WorkerList = std::vector<CRefHandle<CServiceWorkerDLLInfo>>;

// Members are declared so that destruction runs: end-of-session, end-of-request, raw-data,
// send-response, auth-complete and preproc handlers, then the worker list.
class CServiceWorkers {
 public:
  CServiceWorkers();
  CServiceWorkers(const CServiceWorkers&) = delete;
  CServiceWorkers& operator=(const CServiceWorkers&) = delete;
  ~CServiceWorkers();

  // Builds the worker list from the process's settings host and creates the handlers. True
  // when at least one worker is listed.
  bool LoadServiceWorkers();
  // The same from the given settings host.
  bool LoadServiceWorkers(CCoreGeneralSettings& settings);
  // Asks every subscribed worker for its notifications; ORs them (and the two end
  // notifications when one initialised) into pVer->dwFlags. True when one initialised.
  bool GetFilterVersion(HTTP_FILTER_VERSION* pVer);
  // Calls every listed worker's termination in list order.
  void TerminateWorkers(DWORD flags);

  // Appends a worker (start-up only).
  void AddWorker(CRefHandle<CServiceWorkerDLLInfo> worker);
  // Active when some listed worker has a non-zero load value and is subscribed.
  void UpdateActiveFlag();
  // Creates the six handlers, each pointing back at this list.
  void CreateHandlers();

  const WorkerList& Workers() const { return workers_; }
  bool IsActive() const { return active_; }
  // The handler that serves a notification type, or null.
  CBaseNotification* HandlerFor(DWORD notificationType) const;

 private:
  WorkerList workers_;
  bool active_ = false;
  CRefHandle<CPreProcNotification> preProcHandler_;
  CRefHandle<CAuthCompleteNotification> authCompleteHandler_;
  CRefHandle<CSendResponseNotification> sendResponseHandler_;
  CRefHandle<CSendRawDataNotification> sendRawDataHandler_;
  CRefHandle<CEndOfRequestNotification> endOfRequestHandler_;
  CRefHandle<CEndOfSessionNotification> endOfSessionHandler_;
};

}  // namespace nexoral

#endif  // NEXORAL_HOST_SERVICE_WORKERS_H
