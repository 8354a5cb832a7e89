// CSendResponseNotification: handles SF_NOTIFY_SEND_RESPONSE, raised once per response before
// its headers go out. Decides whether the response's body will be collected and offered to the
// workers for rewriting, or let through untouched; for a response it takes it makes the
// request's outbound context, captures the response headers the workers read, records the
// framing, adds the configured response headers and calls the workers as the request's user.
#ifndef NEXORAL_NOTIFICATIONS_SEND_RESPONSE_NOTIFICATION_H
#define NEXORAL_NOTIFICATIONS_SEND_RESPONSE_NOTIFICATION_H

#include <string>
#include <vector>

#include "host/base_notification.h"

namespace nexoral {

class CSendResponseNotification : public CBaseNotification {
 public:
  explicit CSendResponseNotification(CServiceWorkers* serviceWorkers);

  bool PreProcessNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                              void* notificationData, DWORD& status) override;
  // The workers run while the thread impersonates the request's user; the thread never goes on
  // as the user (a failed revert ends the process).
  DWORD CallServiceWorkers(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                           void* notificationData) override;

 private:
  void GetHeaderValues(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* response,
                       CRequestInfo& requestInfo) const;
  static bool IsChunkedInSendResponse(const CRequestInfo& requestInfo);
  static void AddResponseHeaders(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* response);
  // False when the response is to be let through.
  static bool HandleContentLentgh(CFilterContext* context);

  std::vector<std::string> headerNames_;
};

}  // namespace nexoral

#endif  // NEXORAL_NOTIFICATIONS_SEND_RESPONSE_NOTIFICATION_H
