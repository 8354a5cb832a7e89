// A service worker for start-up and end-to-end tests, built in several variants (see
// CMakeLists.txt): its name, the notifications it asks for, whether it takes part and whether
// it exports TerminateFilter. Every call it gets is appended as one line to the file named by
// NEXORAL_TEST_WORKER_RECORD, so that a test can see which workers were called and in which
// order.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nexoral/module_version.h"
#include "nexoral/service_worker.h"

NEXORAL_MODULE_VERSION(WORKER_NAME "-file-1.2", WORKER_NAME "-product-1");

namespace {

void Record(const char* call, unsigned argument) {
  const char* file = std::getenv("NEXORAL_TEST_WORKER_RECORD");
  if (file == nullptr) return;
  char line[160];
  const int length = std::snprintf(line, sizeof(line), "%s %s %u\n", WORKER_NAME, call, argument);
  const int descriptor = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor < 0) return;
  if (write(descriptor, line, static_cast<size_t>(length)) != length) std::perror("record");
  close(descriptor);
}

// Once authenticated, a request whose URL names "answer" is answered by the worker itself.
void AnswerThroughTheModule(CDLLContext& context) {
  static constexpr char kBody[] = "answered by " WORKER_NAME;
  if (context.NotificationType != SF_NOTIFY_AUTH_COMPLETE || !context.RequestInfo ||
      context.RequestInfo->ValueOf("URL").find("answer") == std::string::npos) {
    return;
  }
  char answer[160];
  const int length = std::snprintf(answer, sizeof(answer),
                                   "HTTP/1.1 200 OK\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n%s",
                                   sizeof(kBody) - 1, kBody);
  DWORD bytes = static_cast<DWORD>(length);
  if (context.Callbacks && context.Callbacks->WorkerWriteClient != nullptr &&
      context.Callbacks->WorkerWriteClient(&context, answer, &bytes)) {
    context.ControlStatus = COMPLETED_REQUEST;
  }
}

}  // namespace

extern "C" BOOL GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
  Record("GetFilterVersion", 0);
  pVer->dwFlags = WORKER_FLAGS;
  if (WORKER_ACCEPTS) return TRUE;
  pVer->dwFlags = 0;
  pVer->dwFilterVersion = 3;
  std::strncpy(pVer->lpszFilterDesc, WORKER_NAME " declines", sizeof(pVer->lpszFilterDesc) - 1);
  return FALSE;
}

extern "C" DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* firstArgument, DWORD, void*) {
  CDLLContext* context = NexoralWorkerContext(firstArgument);
  Record("HttpFilterProc", context->NotificationType);
  AnswerThroughTheModule(*context);
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}


#if WORKER_HAS_TERMINATE
extern "C" BOOL TerminateFilter(DWORD flags) {
  Record("TerminateFilter", flags);
  return TRUE;
}
#endif
