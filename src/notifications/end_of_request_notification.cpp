// End of a request: the workers' last call, then the token and the context tree go.
#include "notifications/end_of_request_notification.h"

#include "diagnostics/log.h"
#include "host/request_context.h"
#include "platform/thread_token.h"

namespace nexoral {
namespace {

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

}  // namespace

bool CEndOfRequestNotification::EndOfNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                                                  void*, DWORD&) {
  if (context == nullptr) return true;
  CloseImpersonationToken(*context);
  Log("CEndOfRequestNotification::EndOfNotification User: %s Context pointer <0x%p> initialized to "
      "NULL.",
      context->UserName.c_str(), pfc != nullptr ? pfc->pFilterContext : nullptr);
  ReleaseWorkerRecords(*context);
  DestroyFilterContext(pfc);
  return true;
}

}  // namespace nexoral
