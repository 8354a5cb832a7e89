// CSendRawDataNotification: handles SF_NOTIFY_SEND_RAW_DATA. A block of the
// response is on its way. For now the pipeline's base steps; accumulation and rebuilding come later.
#ifndef NEXORAL_NOTIFICATIONS_SEND_RAW_DATA_NOTIFICATION_H
#define NEXORAL_NOTIFICATIONS_SEND_RAW_DATA_NOTIFICATION_H

#include "host/base_notification.h"

namespace nexoral {

class CSendRawDataNotification : public CBaseNotification {
 public:
  explicit CSendRawDataNotification(CServiceWorkers* serviceWorkers)
      : CBaseNotification(serviceWorkers, SF_NOTIFY_SEND_RAW_DATA) {}
};

}  // namespace nexoral

#endif  // NEXORAL_NOTIFICATIONS_SEND_RAW_DATA_NOTIFICATION_H
