// A minimal service worker module for loading tests: asks for the request headers and the
// response, and marks every call it gets with Feature 7.
#include "nexoral/service_worker.h"

extern "C" BOOL GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
  pVer->dwFlags = SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_SEND_RESPONSE;
  return TRUE;
}

extern "C" DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* firstArgument, DWORD, void*) {
  NexoralWorkerContext(firstArgument)->Feature = 7;
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

extern "C" BOOL TerminateFilter(DWORD) { return TRUE; }
