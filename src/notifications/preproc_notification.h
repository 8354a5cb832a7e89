// CPreProcNotification: handles SF_NOTIFY_PREPROC_HEADERS, the first notification of every
// request, and decides whether the module takes part in the request at all. For a request it
// takes it captures the request's variables, builds the request's context tree (CFilterContext,
// ExchangeURLs, one CDLLContext per subscribed worker, the callback table) and stores it in
// pFilterContext for the request's later notifications. On the way it adds
// "X-Remote-Client-IP:" to every request, redirects calls through the loopback address to the
// host name, turns decorated script names of web-mail URLs back into plain ones and adds
// "ZQ_CsmPrefix:" to the requests it takes. Process-wide and stateless between calls.
#ifndef NEXORAL_NOTIFICATIONS_PREPROC_NOTIFICATION_H
#define NEXORAL_NOTIFICATIONS_PREPROC_NOTIFICATION_H

#include <string>
#include <vector>

#include "common/subscription_match.h"
#include "host/base_notification.h"

namespace nexoral {

class CPreProcNotification : public CBaseNotification {
 public:
  explicit CPreProcNotification(CServiceWorkers* serviceWorkers);

  // The whole pre-processing; true when a filter context was stored and workers are to be
  // called. status becomes SF_STATUS_REQ_FINISHED_KEEP_CONN when the request was answered.
  bool PreProcessNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                              void* notificationData, DWORD& status) override;
  bool PostProcessNotification(CFilterContext* context, CDLLContext* dllContext,
                               HTTP_FILTER_CONTEXT* pfc) override;

 private:
  using Matches = std::vector<SubscriptionMatch>;

  // True when the request carries "ZQHTTP: 1": another part of the product sent it.
  static bool CheckZQRequest(const CRequestInfo& requestInfo);
  static void LogRawRequest(const CRequestInfo& requestInfo);
  static bool SetRemoteClientIPHeader(HTTP_FILTER_CONTEXT* pfc, void* notificationData,
                                      const CRequestInfo& requestInfo);
  // True when the request is a proxied one to leave alone; proxied tells whether it came
  // through another front-end server.
  static bool CheckProxyRequest(const CRequestInfo& requestInfo, bool& proxied, void* notificationData);
  static bool ParseQueryString(CRequestInfo& requestInfo);
  // False when processing is to stop: a loopback call that was redirected or is left alone.
  static bool CheckLocalHostLoopback(const CRequestInfo& requestInfo, HTTP_FILTER_CONTEXT* pfc,
                                     DWORD& status);
  static bool RemoveCSMPrefix(const CRequestInfo& requestInfo, HTTP_FILTER_CONTEXT* pfc,
                              void* notificationData);
  bool CheckURLForSubscription(const CRequestInfo& requestInfo, Matches& matches) const;
  static bool AddCSMHeader(HTTP_FILTER_CONTEXT* pfc, void* notificationData);
  static bool BuildExchangeURLs(CFilterContext& context);
  static bool BuildDLLContexts(const Matches& matches, CFilterContext& context,
                               HTTP_FILTER_CONTEXT* pfc, void* notificationData);

  // The steps after the request was found to be one the module may take; false when it is not
  // taken after all.
  bool TakeRequest(const CRefHandle<CRequestInfo>& requestInfo, bool proxied,
                   HTTP_FILTER_CONTEXT* pfc, void* notificationData, DWORD& status);

  const std::vector<std::string> firstNames_;   // captured before the ignore decision
  const std::vector<std::string> secondNames_;  // captured after it
};

}  // namespace nexoral

#endif  // NEXORAL_NOTIFICATIONS_PREPROC_NOTIFICATION_H
