// A worker list with scripted workers, one connection and captured diagnostics, for tests that
// drive notifications through the pipeline.
#ifndef NEXORAL_TESTS_HOST_PIPELINE_FIXTURE_H
#define NEXORAL_TESTS_HOST_PIPELINE_FIXTURE_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "harness/diagnostics_capture.h"
#include "harness/fake_connection.h"
#include "harness/scripted_worker.h"
#include "host/base_notification.h"
#include "host/service_workers.h"
#include "settings/core_general_settings.h"

namespace nexoral::testing {

inline constexpr DWORD kAllSix = SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_AUTH_COMPLETE |
                                 SF_NOTIFY_SEND_RESPONSE | SF_NOTIFY_SEND_RAW_DATA |
                                 SF_NOTIFY_END_OF_REQUEST | SF_NOTIFY_END_OF_NET_SESSION;

class PipelineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ScriptedWorkers::Instance().Reset();
    GetCoreGeneralSettings()->SetAllWorkersIgnoreProxied(true);
  }
  void TearDown() override { GetCoreGeneralSettings()->SetAllWorkersIgnoreProxied(true); }

  CServiceWorkerDLLInfo& AddWorker(uint32_t id, DWORD notificationFlags) {
    CRefHandle<CServiceWorkerDLLInfo> worker = MakeScriptedWorker(id, notificationFlags);
    CServiceWorkerDLLInfo& info = *worker;
    workers_.AddWorker(std::move(worker));
    return info;
  }
  // Makes the list active and creates the handlers, as start-up does.
  void Start() {
    workers_.UpdateActiveFlag();
    workers_.CreateHandlers();
  }
  // Workers taking every notification, started, with a request context for each of them.
  CFilterContext& StartWith(const std::vector<uint32_t>& workerIds) {
    for (uint32_t id : workerIds) AddWorker(id, kAllSix);
    Start();
    return Attach(workerIds);
  }
  CFilterContext& Attach(const std::vector<uint32_t>& workerIds) {
    return AttachRequestContext(connection_, workerIds);
  }
  void Script(uint32_t workerId, DWORD notificationType, WorkerStep step) {
    ScriptedWorkers::Instance().Script(workerId, notificationType, std::move(step));
  }
  std::vector<uint32_t> CalledFor(DWORD notificationType) const {
    return ScriptedWorkers::Instance().CalledFor(notificationType);
  }
  // Delivers one notification through the base pipeline alone, without its handler's own steps.
  DWORD BasePipeline(DWORD notificationType) {
    CBaseNotification handler(&workers_, notificationType);
    return connection_.Deliver(
        [&handler](HTTP_FILTER_CONTEXT* pfc, DWORD, void* data) { return handler.Notify(pfc, data); },
        notificationType);
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
