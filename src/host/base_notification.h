// CBaseNotification: the pipeline every notification runs through: prepare the request's
// state, call the subscribed workers in list order, act on the control status each leaves in
// its CDLLContext, decide the status for the server. The six handlers override single steps.
// Handlers are process-wide and hold no per-request state; any server thread may call Notify.
#ifndef NEXORAL_HOST_BASE_NOTIFICATION_H
#define NEXORAL_HOST_BASE_NOTIFICATION_H

#include <map>
#include <string>
#include <vector>

#include "host/service_workers.h"
#include "nexoral/filter_context.h"
#include "nexoral/filter_interface.h"

namespace nexoral {

class CBaseNotification {
 public:
  CBaseNotification(CServiceWorkers* serviceWorkers, DWORD notificationType)
      : serviceWorkers_(serviceWorkers), notificationType_(notificationType) {}
  CBaseNotification(const CBaseNotification&) = delete;
  CBaseNotification& operator=(const CBaseNotification&) = delete;
  virtual ~CBaseNotification() = default;

  // The whole pipeline for one notification; returns the SF_STATUS_* for the server.
  virtual DWORD Notify(HTTP_FILTER_CONTEXT* pfc, void* notificationData);

  // Prepares the request's state. False ends the notification with status as it is then.
  virtual bool PreProcessNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                                      void* notificationData, DWORD& status);
  // Sets up one worker's context before its call: the callback entries the notification offers
  // and, for the response notifications, the outbound handle. The result is not used.
  virtual bool PrepareDLLContext(CFilterContext* context,
                                 const CRefHandle<CDLLContext>& dllContext);
  // Calls the subscribed workers; the result of the last one reached, or NEXT_NOTIFICATION.
  virtual DWORD CallServiceWorkers(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                                   void* notificationData);
  // Acts on the control status one worker left. True stops the loop over the workers.
  virtual bool PostProcessNotification(CFilterContext* context, CDLLContext* dllContext,
                                       HTTP_FILTER_CONTEXT* pfc);
  // Decides the final status. The result is not used.
  virtual bool EndOfNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                                 void* notificationData, DWORD& status);

  // True when a worker subscribed to this notification still takes part in the request.
  bool CheckAnyDLLsLeft(CFilterContext* context) const;

  DWORD NotificationType() const { return notificationType_; }

  // Fetches each name (server variable, else request header) into target; the first value
  // stored under a name stays. Names that cannot be fetched are left out; without a server
  // context, or for a type that carries no variables, every name goes in with an empty value.
  static void CaptureRequestVariables(HTTP_FILTER_CONTEXT* pfc, const std::vector<std::string>& names,
                                      std::map<std::string, std::string>& target,
                                      DWORD notificationType, void* notificationData);
  // One server variable, falling back to the header "name:" of the notification's record.
  static bool GetIISParam(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType, const char* name,
                          std::string& value, void* notificationData);
  // One value through fetch, by the buffer protocol of the filter interface.
  static bool GetIISParmT(HTTP_FILTER_CONTEXT* pfc, PFN_GETVALUE fetch, const char* name,
                          std::string& value);
  // Logs the formatted message, with the request's URL, query, user and user agent when
  // withRequest is set; also reports it as an error event when toEventLog is set.
  static void LogWithRequestInfo(bool toEventLog, bool withRequest, const CFilterContext* context,
                                 const char* format, ...) __attribute__((format(printf, 4, 5)));

 protected:
  CServiceWorkers* serviceWorkers_;
  DWORD notificationType_;
};

// The server context's filter context, or null.
inline CFilterContext* FilterContextOf(HTTP_FILTER_CONTEXT* pfc) {
  return pfc == nullptr ? nullptr : static_cast<CFilterContext*>(pfc->pFilterContext);
}

}  // namespace nexoral

#endif  // NEXORAL_HOST_BASE_NOTIFICATION_H
