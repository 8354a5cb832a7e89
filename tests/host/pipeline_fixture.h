// A worker list of scripted workers, one connection and captured diagnostics, for tests that
// drive notifications through the pipeline. A table's loop makes one per row, so every row
// starts afresh.
#ifndef NEXORAL_TESTS_HOST_PIPELINE_FIXTURE_H
#define NEXORAL_TESTS_HOST_PIPELINE_FIXTURE_H

#include <gmock/gmock.h>

#include <vector>

#include "harness/diagnostics_capture.h"
#include "harness/fake_connection.h"
#include "harness/scripted_worker.h"
#include "host/base_notification.h"
#include "host/request_context.h"
#include "settings/core_general_settings.h"

namespace nexoral::testing {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Ids = std::vector<uint32_t>;

inline constexpr DWORD kAllSix = SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_AUTH_COMPLETE | SF_NOTIFY_SEND_RESPONSE |
                                 SF_NOTIFY_SEND_RAW_DATA | SF_NOTIFY_END_OF_REQUEST | SF_NOTIFY_END_OF_NET_SESSION;

struct Pipeline {
  Pipeline() {
    ScriptedWorkers::Instance().Reset();
    GetCoreGeneralSettings()->SetAllWorkersIgnoreProxied(true);
  }
  ~Pipeline() { GetCoreGeneralSettings()->SetAllWorkersIgnoreProxied(true); }

  // Adds a worker, makes the list active and creates the handlers, as start-up does.
  CServiceWorkerDLLInfo& AddWorker(uint32_t id, DWORD notificationFlags = kAllSix) {
    workers_.AddWorker(MakeScriptedWorker(id, notificationFlags));
    workers_.UpdateActiveFlag();
    workers_.CreateHandlers();
    return *workers_.Workers().back();
  }
  CFilterContext& Attach(const Ids& workerIds) { return AttachRequestContext(connection_, workerIds); }
  Ids CalledFor(DWORD type) const { return ScriptedWorkers::Instance().CalledFor(type); }
  DWORD Send(DWORD type) { return connection_.Deliver(filter_, type); }
  // Delivers one notification through the base steps alone, without its handler's own steps.
  DWORD BasePipeline(DWORD type) {
    CBaseNotification handler(&workers_, type);
    return connection_.Deliver([&](HTTP_FILTER_CONTEXT* pfc, DWORD, void* data) { return handler.Notify(pfc, data); },
                               type);
  }
  CFilterContext* Context() { return static_cast<CFilterContext*>(connection_.pfc()->pFilterContext); }

  LogCapture log_;
  EventCapture events_;
  CServiceWorkers workers_;
  FakeConnection connection_;
  FilterProc filter_ = DispatchThrough(workers_);
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_HOST_PIPELINE_FIXTURE_H
