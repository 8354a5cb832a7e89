// Scripted service workers: in-process workers whose answers a test sets per worker id and
// notification type, and whose calls are recorded. Also builds the worker records and the
// request context tree that the module's pre-processing would build, so that any notification
// sequence can be driven. Test-thread only; Reset between tests.
#ifndef NEXORAL_TESTS_HARNESS_SCRIPTED_WORKER_H
#define NEXORAL_TESTS_HARNESS_SCRIPTED_WORKER_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "harness/fake_connection.h"
#include "host/service_workers.h"
#include "nexoral/service_worker.h"

namespace nexoral::testing {

enum class Throw { Nothing, ComError, AtlException, StdException, Other };

// What a worker does when called for one notification.
struct WorkerStep {
  uint32_t controlStatus = CONTROL_NONE;
  uint32_t feature = 0;
  std::string replacement;  // becomes ReplaceBuffer/ReplaceLength when not empty
  Throw throws = Throw::Nothing;
  HRESULT hresult = 0;  // for ComError and AtlException
  DWORD result = SF_STATUS_REQ_NEXT_NOTIFICATION;
};

struct WorkerCall {
  uint32_t workerId;
  DWORD notificationType;  // as the worker's context says
  bool impersonating;      // the thread ran as a user during the call
};

class ScriptedWorkers {
 public:
  static ScriptedWorkers& Instance();

  void Script(uint32_t workerId, DWORD notificationType, WorkerStep step) {
    steps_[{workerId, notificationType}] = std::move(step);
  }
  void Reset();
  const std::vector<WorkerCall>& Calls() const { return calls_; }
  // The ids called for one notification type, in call order.
  std::vector<uint32_t> CalledFor(DWORD notificationType) const;
  std::vector<DWORD> terminateCalls;  // the flags of each TerminateFilter call
  // The entry point every scripted worker shares; it finds its script by the worker id.
  static DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* firstArgument, DWORD, void*);

 private:
  std::map<std::pair<uint32_t, DWORD>, WorkerStep> steps_;
  std::vector<WorkerCall> calls_;
};

// A listed, subscribed, initialised worker that takes the given notifications, ordered by id.
CRefHandle<CServiceWorkerDLLInfo> MakeScriptedWorker(uint32_t id, DWORD notificationFlags);

// Builds the request's context tree with one CDLLContext per worker id and stores it in the
// connection's pFilterContext (replacing and destroying any context there).
CFilterContext& AttachRequestContext(FakeConnection& connection,
                                     const std::vector<uint32_t>& workerIds);

// A filter procedure that dispatches through one worker list's handlers.
FilterProc DispatchThrough(CServiceWorkers& serviceWorkers);

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_HARNESS_SCRIPTED_WORKER_H
