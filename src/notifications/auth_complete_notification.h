// CAuthCompleteNotification: handles SF_NOTIFY_AUTH_COMPLETE. The request's user
// is known. For now the pipeline's base steps; impersonation and policy matching come later.
#ifndef NEXORAL_NOTIFICATIONS_AUTH_COMPLETE_NOTIFICATION_H
#define NEXORAL_NOTIFICATIONS_AUTH_COMPLETE_NOTIFICATION_H

#include "host/base_notification.h"

namespace nexoral {

class CAuthCompleteNotification : public CBaseNotification {
 public:
  explicit CAuthCompleteNotification(CServiceWorkers* serviceWorkers)
      : CBaseNotification(serviceWorkers, SF_NOTIFY_AUTH_COMPLETE) {}
};

}  // namespace nexoral

#endif  // NEXORAL_NOTIFICATIONS_AUTH_COMPLETE_NOTIFICATION_H
