// CAuthCompleteNotification: handles SF_NOTIFY_AUTH_COMPLETE, the moment the server knows who
// the user is. For a request the module took it captures the identity variables, puts the
// user's token on the thread (the workers of this notification run as the user; the
// impersonation ends with the notification), finds the user's name and SID, asks the criteria
// engine which criterion applies and passes its id on in the request header "ZQ_CRITERIA:" and
// in every CDLLContext. A user on the bypass list is left alone for the rest of the request. A
// save of the web-mail options drops the user's cached directory data.
#ifndef NEXORAL_NOTIFICATIONS_AUTH_COMPLETE_NOTIFICATION_H
#define NEXORAL_NOTIFICATIONS_AUTH_COMPLETE_NOTIFICATION_H

#include <string>
#include <vector>

#include "host/base_notification.h"

namespace nexoral {

class CAuthCompleteNotification : public CBaseNotification {
 public:
  explicit CAuthCompleteNotification(CServiceWorkers* serviceWorkers);

  // True when the workers are to be called: the user was matched to a criterion and the
  // thread impersonates the user (or the impersonation failed, which is logged). The status is
  // left as it was whatever happens here.
  bool PreProcessNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                              void* notificationData, DWORD& status) override;
  // The final status as the base decides it; then the thread stops impersonating.
  bool EndOfNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc, void* notificationData,
                         DWORD& status) override;

  // True when the request saves the web-mail options (a POST with ae=Options, or with
  // ns=Options, an "ev.owa" URL and an ev starting with "Save"); then the user's cached
  // directory data is dropped when the user is known. False only when that drop failed.
  static bool HandleUserOptionsChange(CFilterContext* context);

 private:
  // The identity variables into the request's captured values, as server variables only.
  void GetHeadersAndIISVariables(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc) const;
  // Puts the user's token on the thread and keeps a duplicate for the response notifications.
  // Failures are logged; they never become the server status.
  static bool ImpersonateUser(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                              HTTP_FILTER_AUTH_COMPLETE_INFO* info);
  // Finds the user's name, SID and criterion; true when a criterion matched and its header
  // was set.
  static bool DetectCriteria(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                             HTTP_FILTER_AUTH_COMPLETE_INFO* info);
  // Takes the user's token off the thread and forgets it.
  static void StopImpersonating(CFilterContext* context);

  const std::vector<std::string> names_;
};

}  // namespace nexoral

#endif  // NEXORAL_NOTIFICATIONS_AUTH_COMPLETE_NOTIFICATION_H
