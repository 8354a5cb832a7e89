// CEndOfRequestNotification: handles SF_NOTIFY_END_OF_REQUEST. Every worker that took part in
// the request sees the end; then the impersonation token is closed and the request's context
// tree released.
#ifndef NEXORAL_NOTIFICATIONS_END_OF_REQUEST_NOTIFICATION_H
#define NEXORAL_NOTIFICATIONS_END_OF_REQUEST_NOTIFICATION_H

#include "notifications/closing_notification.h"

namespace nexoral {

class CEndOfRequestNotification : public CClosingNotification {
 public:
  explicit CEndOfRequestNotification(CServiceWorkers* serviceWorkers)
      : CClosingNotification(
            serviceWorkers, SF_NOTIFY_END_OF_REQUEST,
            "[CEndOfRequestNotification::PreProcessNotification] Context NULL, do nothing.") {}

  // Closes the token and releases the context; the status stays as the workers left it.
  bool EndOfNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc, void* notificationData,
                         DWORD& status) override;
};

}  // namespace nexoral

#endif  // NEXORAL_NOTIFICATIONS_END_OF_REQUEST_NOTIFICATION_H
