// Scripted workers and request context trees for tests.
#include "harness/scripted_worker.h"

#include <stdexcept>

#include "host/filter_entry.h"
#include "host/request_context.h"
#include "platform/com_errors.h"
#include "platform/thread_token.h"

namespace nexoral::testing {

ScriptedWorkers& ScriptedWorkers::Instance() {
  static ScriptedWorkers workers;
  return workers;
}

void ScriptedWorkers::Reset() {
  steps_.clear();
  calls_.clear();
  terminateCalls.clear();
}

std::vector<uint32_t> ScriptedWorkers::CalledFor(DWORD notificationType) const {
  std::vector<uint32_t> ids;
  for (const WorkerCall& call : calls_) {
    if (call.notificationType == notificationType) ids.push_back(call.workerId);
  }
  return ids;
}

DWORD ScriptedWorkers::HttpFilterProc(HTTP_FILTER_CONTEXT* firstArgument, DWORD, void*) {
  CDLLContext* context = NexoralWorkerContext(firstArgument);
  ScriptedWorkers& self = Instance();
  self.calls_.push_back({context->WorkerId, context->NotificationType, platform::ThreadImpersonates()});
  auto found = self.steps_.find({context->WorkerId, context->NotificationType});
  if (found == self.steps_.end()) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  WorkerStep& step = found->second;
  switch (step.throws) {
    case Throw::Nothing:
      break;
    case Throw::ComError:
      throw _com_error(step.hresult);
    case Throw::AtlException:
      throw CAtlException(step.hresult);
    case Throw::StdException:
      throw std::runtime_error("scripted failure");
    case Throw::Other:
      throw 42;
  }
  context->ControlStatus = step.controlStatus;
  context->Feature = step.feature;
  if (!step.replacement.empty()) {
    context->ReplaceBuffer = step.replacement.data();
    context->ReplaceLength = static_cast<uint32_t>(step.replacement.size());
  }
  return step.result;
}

CRefHandle<CServiceWorkerDLLInfo> MakeScriptedWorker(uint32_t id, DWORD notificationFlags) {
  auto worker = MakeRefHandle<CServiceWorkerDLLInfo>();
  worker->Id = id;
  worker->Name = "worker" + std::to_string(id);
  worker->LoadValue = 1;
  worker->Order = static_cast<int32_t>(id);
  worker->NotificationFlags = notificationFlags;
  worker->Initialised = true;
  worker->Subscribed = true;
  worker->pHttpFilterProc = ScriptedWorkers::HttpFilterProc;
  worker->pTerminateFilter = [](DWORD flags) {
    ScriptedWorkers::Instance().terminateCalls.push_back(flags);
    return BOOL{TRUE};
  };
  return worker;
}

CFilterContext& AttachRequestContext(FakeConnection& connection,
                                     const std::vector<uint32_t>& workerIds) {
  DestroyFilterContext(connection.pfc());
  CFilterContext* context = NewFilterContext();
  context->RequestInfo = MakeRefHandle<CRequestInfo>();
  context->ExchangeUrls = MakeRefHandle<ExchangeURLs>();
  auto callbacks = MakeRefHandle<CFilterCallbackPrototypes>();
  for (uint32_t id : workerIds) {
    auto dllContext = MakeRefHandle<CDLLContext>();
    dllContext->WorkerId = id;
    dllContext->FilterContext = context;
    dllContext->pfc = connection.pfc();
    dllContext->Callbacks = callbacks;
    dllContext->RequestInfo = context->RequestInfo;
    dllContext->ExchangeUrls = context->ExchangeUrls;
    context->DLLContexts.push_back(std::move(dllContext));
  }
  connection.pfc()->pFilterContext = context;
  return *context;
}

FilterProc DispatchThrough(CServiceWorkers& serviceWorkers) {
  return [&serviceWorkers](HTTP_FILTER_CONTEXT* pfc, DWORD type, void* data) {
    return DispatchNotification(serviceWorkers, pfc, type, data);
  };
}

}  // namespace nexoral::testing
