// SampleWorker: a service worker to start from. It takes part in every request its
// subscriptions in the core settings file give it and writes, through the module's log
// callback, what it sees of each: the request line and client at the request headers, the
// front end's URLs as the module worked them out, the user once known, the criterion id once the
// request has been matched, the response status, and the end. It changes nothing.
#include <cstdio>
#include <string>

#include "nexoral/filter_context.h"
#include "nexoral/module_version.h"
#include "nexoral/service_worker.h"

NEXORAL_MODULE_VERSION("1.0.0.2", "1.0");

namespace {

// Writes one line to the module's log when the callback is there.
void WriteLog(const CDLLContext& context, const std::string& text) {
  if (context.Callbacks && context.Callbacks->WorkerLog != nullptr) {
    context.Callbacks->WorkerLog(text.c_str());
  }
}

std::string Captured(const CDLLContext& context, const char* name) {
  return context.RequestInfo ? context.RequestInfo->ValueOf(name) : std::string();
}

std::string Prefix(const CDLLContext& context) {
  return "SampleWorker [" + std::to_string(context.WorkerId) + "] ";
}

std::string CriterionText(const CDLLContext& context) {
  if (context.CriteriaId < 0) return "no criterion yet";
  return "criterion " + std::to_string(context.CriteriaId);
}

void DescribeRequestHeaders(const CDLLContext& context) {
  WriteLog(context, Prefix(context) + "request " + Captured(context, "HTTP_METHOD") + " " +
                        Captured(context, "HTTP_URL") + " from " + Captured(context, "REMOTE_ADDR") +
                        " (subscription rule " + std::to_string(context.MatchedBy) + ")");
  if (!context.ExchangeUrls) return;
  const ExchangeURLs& urls = *context.ExchangeUrls;
  WriteLog(context, Prefix(context) + "external URL " + urls.ExternalURL + ", internal URL " +
                        urls.InternalURL + ", virtual directory " + urls.VirtualDirectory +
                        ", scripts " + urls.ExternalScriptsURL);
}

void DescribeUser(const CDLLContext& context) {
  const std::string user = context.FilterContext != nullptr ? context.FilterContext->UserName : "";
  WriteLog(context, Prefix(context) + "authenticated " +
                        (user.empty() ? std::string("(user not matched)") : user) + ", " +
                        CriterionText(context));
}

void DescribeResponse(const CDLLContext& context) {
  const HTTP_FILTER_SEND_RESPONSE* response =
      static_cast<const HTTP_FILTER_SEND_RESPONSE*>(context.NotificationData);
  const unsigned status = response != nullptr ? response->HttpStatus : 0u;
  WriteLog(context, Prefix(context) + "response " + std::to_string(status) + " for " +
                        Captured(context, "URL") + ", " + CriterionText(context));
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
  switch (context->NotificationType) {
    case SF_NOTIFY_PREPROC_HEADERS:
      DescribeRequestHeaders(*context);
      break;
    case SF_NOTIFY_AUTH_COMPLETE:
      DescribeUser(*context);
      break;
    case SF_NOTIFY_SEND_RESPONSE:
      DescribeResponse(*context);
      break;
    case SF_NOTIFY_END_OF_REQUEST:
      WriteLog(*context, Prefix(*context) + "end of request " + Captured(*context, "HTTP_URL"));
      break;
    default:
      break;
  }
  context->ControlStatus = CONTROL_NONE;
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

extern "C" BOOL TerminateFilter(DWORD) { return TRUE; }
