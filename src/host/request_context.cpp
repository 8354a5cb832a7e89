// Creation and release of request context trees.
#include "host/request_context.h"

#include <atomic>
#include <new>

#include "diagnostics/log.h"
#include "platform/thread_token.h"

namespace nexoral {
namespace {

std::atomic<int64_t> liveContexts{0};

}  // namespace

CFilterContext* NewFilterContext() {
  CFilterContext* context = new (std::nothrow) CFilterContext();
  if (context != nullptr) liveContexts.fetch_add(1, std::memory_order_relaxed);
  return context;
}

void DeleteFilterContext(CFilterContext* context) {
  if (context == nullptr) return;
  CloseImpersonationToken(*context);
  delete context;
  liveContexts.fetch_sub(1, std::memory_order_relaxed);
}

void CloseImpersonationToken(CFilterContext& context) {
  if (context.ImpersonationToken == nullptr) return;
  if (platform::CloseAccessToken(context.ImpersonationToken)) {
    Log("EndOfNotification CloseHandle UserToken unused %p", context.ImpersonationToken);
  } else {
    Log("EndOfNotification CloseHandle UserToken failed %d. Leak Token %p",
        static_cast<int>(GetLastError()), context.ImpersonationToken);
  }
  context.ImpersonationToken = nullptr;
}

int64_t LiveFilterContexts() { return liveContexts.load(std::memory_order_relaxed); }

void ReleaseWorkerRecords(CFilterContext& context, InstructionList instructions) {
  if (context.Instructions && instructions == InstructionList::kClear) {
    context.Instructions->Clear();
  }
  context.Instructions.Release();
  context.CommonPointers.Release();
  context.RequestInfo.Release();
  context.ExchangeUrls.Release();
  context.DLLContexts.clear();
}

void DestroyFilterContext(HTTP_FILTER_CONTEXT* pfc) {
  if (pfc == nullptr) return;
  CFilterContext* context = static_cast<CFilterContext*>(pfc->pFilterContext);
  pfc->pFilterContext = nullptr;
  DeleteFilterContext(context);
}

}  // namespace nexoral
