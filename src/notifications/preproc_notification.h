// CPreProcNotification: handles SF_NOTIFY_PREPROC_HEADERS. The first notification of a request.
// For now the pipeline's base steps; the request's capture and context tree are not built yet.
#ifndef NEXORAL_NOTIFICATIONS_PREPROC_NOTIFICATION_H
#define NEXORAL_NOTIFICATIONS_PREPROC_NOTIFICATION_H

#include "host/base_notification.h"

namespace nexoral {

class CPreProcNotification : public CBaseNotification {
 public:
  explicit CPreProcNotification(CServiceWorkers* serviceWorkers)
      : CBaseNotification(serviceWorkers, SF_NOTIFY_PREPROC_HEADERS) {}
};

}  // namespace nexoral

#endif  // NEXORAL_NOTIFICATIONS_PREPROC_NOTIFICATION_H
