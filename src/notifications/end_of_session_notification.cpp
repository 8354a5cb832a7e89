// End of a connection: the workers' last call, then the context tree goes.
#include "notifications/end_of_session_notification.h"

#include "diagnostics/log.h"
#include "host/request_context.h"

namespace nexoral {

bool CEndOfSessionNotification::EndOfNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                                                  void*, DWORD&) {
  if (context == nullptr) return true;
  Log("CEndOfSessionNotification::EndOfNotification User: %s Context pointer <0x%p> initialized to "
      "NULL.",
      context->UserName.c_str(), pfc != nullptr ? pfc->pFilterContext : nullptr);
  if (pfc != nullptr && pfc->pFilterContext == context) pfc->pFilterContext = nullptr;
  ReleaseWorkerRecords(*context);
  context->Stop = true;
  DeleteFilterContext(context);
  return true;
}

}  // namespace nexoral
