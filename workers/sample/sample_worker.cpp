// SampleWorker: a service worker to start from. It takes part in every request its
// subscriptions in the core settings file give it, and logs what it sees of each one through
// the module's log: the notification, the URL and, once the user is known, the criterion id.
// It changes nothing.
#include <cstdio>
#include <string>

#include "nexoral/module_version.h"
#include "nexoral/service_worker.h"

NEXORAL_MODULE_VERSION("1.0.0.1", "1.0");

namespace {

const char* NotificationName(uint32_t type) {
  switch (type) {
    case SF_NOTIFY_PREPROC_HEADERS:
      return "request headers";
    case SF_NOTIFY_AUTH_COMPLETE:
      return "authenticated";
    case SF_NOTIFY_SEND_RESPONSE:
      return "response headers";
    case SF_NOTIFY_END_OF_REQUEST:
      return "end of request";
    default:
      return "other notification";
  }
}

// Writes one line to the module's log when the callback is there.
void WriteLog(const CDLLContext& context, const std::string& text) {
  if (context.Callbacks && context.Callbacks->WorkerLog != nullptr) {
    context.Callbacks->WorkerLog(text.c_str());
  }
}

std::string DescribeRequest(const CDLLContext& context) {
  std::string line = std::string("SampleWorker: ") + NotificationName(context.NotificationType);
  if (context.RequestInfo) {
    line += " URL " + context.RequestInfo->ValueOf("HTTP_URL");
  }
  if (context.CriteriaId >= 0) {
    char criterion[32];
    std::snprintf(criterion, sizeof(criterion), " criterion %d", context.CriteriaId);
    line += criterion;
  }
  return line;
}

}  // namespace

extern "C" BOOL GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
  if (pVer == nullptr) return FALSE;
  pVer->dwFlags = SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_AUTH_COMPLETE | SF_NOTIFY_SEND_RESPONSE |
                  SF_NOTIFY_END_OF_REQUEST;
  return TRUE;
}

extern "C" DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* firstArgument, DWORD, void*) {
  CDLLContext* context = NexoralWorkerContext(firstArgument);
  if (context == nullptr) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  WriteLog(*context, DescribeRequest(*context));
  context->ControlStatus = CONTROL_NONE;
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

extern "C" BOOL TerminateFilter(DWORD) { return TRUE; }
