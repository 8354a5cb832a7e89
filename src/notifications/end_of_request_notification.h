// CEndOfRequestNotification: handles SF_NOTIFY_END_OF_REQUEST. Every worker that took part in
// the request sees the end, whatever its control status; then the impersonation token is closed
// and the request's context tree released.
#ifndef NEXORAL_NOTIFICATIONS_END_OF_REQUEST_NOTIFICATION_H
#define NEXORAL_NOTIFICATIONS_END_OF_REQUEST_NOTIFICATION_H

#include "host/base_notification.h"

namespace nexoral {

class CEndOfRequestNotification : public CBaseNotification {
 public:
  explicit CEndOfRequestNotification(CServiceWorkers* serviceWorkers)
      : CBaseNotification(serviceWorkers, SF_NOTIFY_END_OF_REQUEST) {}

  // True whenever a context exists: the request's flags do not keep workers from the end.
  bool PreProcessNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                              void* notificationData, DWORD& status) override;
  // Never stops the loop: every worker with a context is called.
  bool PostProcessNotification(CFilterContext* context, CDLLContext* dllContext,
                               HTTP_FILTER_CONTEXT* pfc) override;
  // Closes the token and releases the context; the status stays as the workers left it.
  bool EndOfNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc, void* notificationData,
                         DWORD& status) override;
};

}  // namespace nexoral

#endif  // NEXORAL_NOTIFICATIONS_END_OF_REQUEST_NOTIFICATION_H
