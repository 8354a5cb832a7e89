// CEndOfSessionNotification: handles SF_NOTIFY_END_OF_NET_SESSION. The workers of a context
// still on the connection see the end; then the context tree is released.
#ifndef NEXORAL_NOTIFICATIONS_END_OF_SESSION_NOTIFICATION_H
#define NEXORAL_NOTIFICATIONS_END_OF_SESSION_NOTIFICATION_H

#include "notifications/closing_notification.h"

namespace nexoral {

class CEndOfSessionNotification : public CClosingNotification {
 public:
  explicit CEndOfSessionNotification(CServiceWorkers* serviceWorkers)
      : CClosingNotification(
            serviceWorkers, SF_NOTIFY_END_OF_NET_SESSION,
            "[CLogNotification::PreProcessNotification] Context NULL, do nothing.") {}

  // Releases the context; the status stays as the workers left it.
  bool EndOfNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc, void* notificationData,
                         DWORD& status) override;
};

}  // namespace nexoral

#endif  // NEXORAL_NOTIFICATIONS_END_OF_SESSION_NOTIFICATION_H
