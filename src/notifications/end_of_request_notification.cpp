// End of a request: the workers' last call, then the token and the context tree go.
#include "notifications/end_of_request_notification.h"

#include "diagnostics/log.h"
#include "host/request_context.h"
#include "settings/core_general_settings.h"

namespace nexoral {
namespace {

// The server generation that delivers response data after the end of a request.
constexpr DWORD kLateResponseMajorVersion = 6;

}  // namespace

bool CEndOfRequestNotification::EndOfNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                                                  void*, DWORD&) {
  if (context == nullptr) return true;
  Log("CEndOfRequestNotification::EndOfNotification User: %s Context pointer <0x%p> initialized to "
      "NULL.",
      context->UserName.c_str(), pfc != nullptr ? pfc->pFilterContext : nullptr);
  if (GetCoreGeneralSettings()->OsMajorVersion() != kLateResponseMajorVersion || !context->Outbound) {
    ReleaseWorkerRecords(*context);
    DestroyFilterContext(pfc);
    return true;
  }
  // This server generation may still deliver response data after the end of the request: the
  // outbound context stays until the connection's next request or its end; no worker is called
  // again for it.
  CloseImpersonationToken(*context);
  ReleaseWorkerRecords(*context, InstructionList::kKeepEntries);
  context->Outbound->CommonPointers.Release();
  context->Stop = true;
  return true;
}

}  // namespace nexoral
