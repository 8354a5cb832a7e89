// The steps the end-of-request and end-of-connection handlers share.
#include "notifications/closing_notification.h"

#include "diagnostics/log.h"

namespace nexoral {

bool CClosingNotification::PreProcessNotification(CFilterContext* context, HTTP_FILTER_CONTEXT*,
                                                  void*, DWORD&) {
  if (context != nullptr) return true;
  Log("%s", noContextMessage_);
  return false;
}

bool CClosingNotification::PostProcessNotification(CFilterContext*, CDLLContext*,
                                                   HTTP_FILTER_CONTEXT*) {
  return false;
}

}  // namespace nexoral
