// CEndOfSessionNotification: handles SF_NOTIFY_END_OF_NET_SESSION. The workers of a context
// still on the connection see the end; then the context tree is released.
#ifndef NEXORAL_NOTIFICATIONS_END_OF_SESSION_NOTIFICATION_H
#define NEXORAL_NOTIFICATIONS_END_OF_SESSION_NOTIFICATION_H

#include "host/base_notification.h"

namespace nexoral {

class CEndOfSessionNotification : public CBaseNotification {
 public:
  explicit CEndOfSessionNotification(CServiceWorkers* serviceWorkers)
      : CBaseNotification(serviceWorkers, SF_NOTIFY_END_OF_NET_SESSION) {}

  bool PreProcessNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                              void* notificationData, DWORD& status) override;
  bool PostProcessNotification(CFilterContext* context, CDLLContext* dllContext,
                               HTTP_FILTER_CONTEXT* pfc) override;
  bool EndOfNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc, void* notificationData,
                         DWORD& status) override;
};

}  // namespace nexoral

#endif  // NEXORAL_NOTIFICATIONS_END_OF_SESSION_NOTIFICATION_H
