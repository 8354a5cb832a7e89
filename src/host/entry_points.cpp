// The module's exported filter entry points and its unload hook.
#include "diagnostics/log_writers.h"
#include "host/filter_entry.h"
#include "nexoral/filter_interface.h"
#include "nexoral/module_version.h"
#include "platform/debug_output.h"

NEXORAL_MODULE_VERSION(NEXORAL_FILE_VERSION_TEXT, NEXORAL_PRODUCT_VERSION_TEXT);

extern "C" BOOL GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
  return nexoral::StartFilter(nexoral::ProcessServiceWorkers(), pVer);
}

extern "C" DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType,
                                void* pvNotification) {
  return nexoral::DispatchNotification(nexoral::ProcessServiceWorkers(), pfc, notificationType,
                                       pvNotification);
}

extern "C" BOOL TerminateFilter(DWORD dwFlags) {
  return nexoral::StopFilter(nexoral::ProcessServiceWorkers(), dwFlags);
}

namespace {

// Runs when the module leaves the process (unload or process exit).
__attribute__((destructor)) void OnProcessDetach() {
  nexoral::platform::OutputDebugString("\nNexoral DLL_PROCESS_DETACH\n");
  nexoral::FlushLog();
}

}  // namespace
