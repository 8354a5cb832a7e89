// Loading the filter module and calling its entry points.
#include "filter_host.h"

#include <cstring>

namespace nexoral::server {

std::unique_ptr<FilterHost> FilterHost::Load(const std::string& path, std::string* reason) {
  std::unique_ptr<FilterHost> host(new FilterHost());
  host->module_ = platform::LoadedModule::Load(path, reason);
  if (!host->module_) return nullptr;
  auto getVersion = host->module_->FindFunction<PFN_GETFILTERVERSION>("GetFilterVersion");
  host->filterProc_ = host->module_->FindFunction<PFN_HTTPFILTERPROC>("HttpFilterProc");
  host->terminateFilter_ = host->module_->FindFunction<PFN_TERMINATEFILTER>("TerminateFilter");
  if (getVersion == nullptr || host->filterProc_ == nullptr || host->terminateFilter_ == nullptr) {
    *reason = path + " does not export GetFilterVersion, HttpFilterProc and TerminateFilter";
    return nullptr;
  }
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = NEXORAL_CONTRACT_VERSION;
  BOOL started = FALSE;
  try {
    started = getVersion(&version);
  } catch (...) {
    started = FALSE;
  }
  if (!started) {
    *reason = path + ": GetFilterVersion failed with error " + std::to_string(GetLastError());
    return nullptr;
  }
  version.lpszFilterDesc[SF_MAX_FILTER_DESC_LEN - 1] = '\0';
  host->description_ = version.lpszFilterDesc;
  host->flags_ = version.dwFlags;
  host->terminated_ = false;
  return host;
}

FilterHost::~FilterHost() { Terminate(); }

DWORD FilterHost::Notify(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType,
                         void* data) const noexcept {
  try {
    return filterProc_(pfc, notificationType, data);
  } catch (...) {
    return SF_STATUS_REQ_ERROR;
  }
}

void FilterHost::Terminate() noexcept {
  if (terminated_ || terminateFilter_ == nullptr) return;
  terminated_ = true;
  try {
    terminateFilter_(0);
  } catch (...) {
    // The module is going away either way.
  }
}

}  // namespace nexoral::server
