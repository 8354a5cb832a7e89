// CSendResponseNotification: handles SF_NOTIFY_SEND_RESPONSE. The response's
// status and headers are ready. For now the pipeline's base steps; the outbound context comes later.
#ifndef NEXORAL_NOTIFICATIONS_SEND_RESPONSE_NOTIFICATION_H
#define NEXORAL_NOTIFICATIONS_SEND_RESPONSE_NOTIFICATION_H

#include "host/base_notification.h"

namespace nexoral {

class CSendResponseNotification : public CBaseNotification {
 public:
  explicit CSendResponseNotification(CServiceWorkers* serviceWorkers)
      : CBaseNotification(serviceWorkers, SF_NOTIFY_SEND_RESPONSE) {}
};

}  // namespace nexoral

#endif  // NEXORAL_NOTIFICATIONS_SEND_RESPONSE_NOTIFICATION_H
