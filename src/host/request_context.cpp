// Release of request context trees.
#include "host/request_context.h"

namespace nexoral {

void ReleaseWorkerRecords(CFilterContext& context) {
  if (context.Instructions) context.Instructions->Clear();
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
  delete context;
}

}  // namespace nexoral
