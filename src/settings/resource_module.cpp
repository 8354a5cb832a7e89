// Loading and freeing the resource module.
#include "settings/resource_module.h"

#include <cstdio>

#include "diagnostics/event_log.h"
#include "diagnostics/log.h"
#include "platform/error_codes.h"
#include "platform/error_text.h"

namespace nexoral {

DWORD CResource::LoadModule(const std::string& path) {
  if (module_ != nullptr && !UnloadModule()) {
    Log("Resource class failed UnloadModule error %d", static_cast<int>(GetLastError()));
  }
  path_ = path;
  module_ = platform::DataModule::Load(path);
  if (module_ != nullptr) return 0;
  const DWORD error = GetLastError();
  char report[1024];
  std::snprintf(report, sizeof(report), " Resource Class LoadModule failed  %s error %d",
                path.c_str(), static_cast<int>(error));
  CEventLog& eventLog = eventLog_ != nullptr ? *eventLog_ : ProcessEventLog();
  eventLog.Report(kReportError, 0, kEventIdText, 0, nullptr, {report});
  Log("Resource Class LoadModule failed  %s error %d, %s", path.c_str(), static_cast<int>(error),
      SystemErrorText(error).c_str());
  return error != 0 ? error : 31;
}

bool CResource::UnloadModule() {
  module_.reset();
  return true;
}

}  // namespace nexoral
