// CClosingNotification: the common part of the two notifications that end a request's state
// (end of request, end of connection). Every worker with a context is called, whatever its
// control status and whatever the request's flags; the subclass releases the state afterwards.
#ifndef NEXORAL_NOTIFICATIONS_CLOSING_NOTIFICATION_H
#define NEXORAL_NOTIFICATIONS_CLOSING_NOTIFICATION_H

#include "host/base_notification.h"

namespace nexoral {

class CClosingNotification : public CBaseNotification {
 public:
  // noContextMessage is logged when the connection carries no context.
  CClosingNotification(CServiceWorkers* serviceWorkers, DWORD notificationType,
                       const char* noContextMessage)
      : CBaseNotification(serviceWorkers, notificationType), noContextMessage_(noContextMessage) {}

  // True whenever a context exists: the request's flags do not keep workers from the end.
  bool PreProcessNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                              void* notificationData, DWORD& status) override;
  // Never stops the loop: every worker with a context is called.
  bool PostProcessNotification(CFilterContext* context, CDLLContext* dllContext,
                               HTTP_FILTER_CONTEXT* pfc) override;

 private:
  const char* noContextMessage_;
};

}  // namespace nexoral

#endif  // NEXORAL_NOTIFICATIONS_CLOSING_NOTIFICATION_H
