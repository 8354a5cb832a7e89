// The filter's work behind its three exported entry points, over an explicit worker list so
// that tests can drive it. The exported functions use ProcessServiceWorkers(). Exceptions
// never leave these functions.
#ifndef NEXORAL_HOST_FILTER_ENTRY_H
#define NEXORAL_HOST_FILTER_ENTRY_H

#include "host/service_workers.h"
#include "nexoral/filter_interface.h"

namespace nexoral {

// Names the filter starts the settings host with.
inline constexpr const char kProductName[] = "Zephyrquill Nexoral";
inline constexpr const char kModuleFileName[] = "Nexoral.dll";
inline constexpr const char kResourceModuleName[] = "CoreRes.dll";
inline constexpr const char kCommonRegistryKey[] = "SOFTWARE\\Zephyrquill\\Common Files";

// Start-up: settings host, cached-script manager, workers, event-log report. Always TRUE; only
// pVer->dwFlags is written.
BOOL StartFilter(CServiceWorkers& serviceWorkers, HTTP_FILTER_VERSION* pVer);

// One notification: routes it to its handler while the filter is active.
DWORD DispatchNotification(CServiceWorkers& serviceWorkers, HTTP_FILTER_CONTEXT* pfc,
                           DWORD notificationType, void* notificationData);

// Shutdown: workers, settings host, log. Always TRUE.
BOOL StopFilter(CServiceWorkers& serviceWorkers, DWORD flags);

// The process-wide worker list of the loaded module.
CServiceWorkers& ProcessServiceWorkers();

}  // namespace nexoral

#endif  // NEXORAL_HOST_FILTER_ENTRY_H
