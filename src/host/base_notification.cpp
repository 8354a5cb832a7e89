// The notification pipeline: worker loop, control statuses, final status and the capture of
// request variables.
#include "host/base_notification.h"

#include <cxxabi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "common/names.h"
#include "diagnostics/event_log.h"
#include "diagnostics/log.h"
#include "host/worker_callbacks.h"
#include "nexoral/service_worker.h"
#include "platform/com_errors.h"
#include "platform/error_codes.h"
#include "settings/core_general_settings.h"

namespace nexoral {
namespace {

// No server variable or header comes near this; a larger size is a broken server answer.
constexpr DWORD kMaxValueSize = 16u * 1024u * 1024u;
constexpr size_t kRequestLogChars = 2048;

bool CarriesVariables(DWORD notificationType) {
  switch (notificationType) {
    case SF_NOTIFY_SEND_RESPONSE:
    case SF_NOTIFY_PREPROC_HEADERS:
    case SF_NOTIFY_AUTH_COMPLETE:
    case SF_NOTIFY_END_OF_REQUEST:
    case SF_NOTIFY_SEND_RAW_DATA:
      return true;
    default:
      return false;
  }
}

// The GetHeader function of the notification's record: the first member of the header records.
PFN_GETVALUE HeaderFetchOf(DWORD notificationType, void* notificationData) {
  if (notificationData == nullptr) return nullptr;
  switch (notificationType) {
    case SF_NOTIFY_SEND_RESPONSE:
    case SF_NOTIFY_PREPROC_HEADERS:
      return static_cast<HTTP_FILTER_PREPROC_HEADERS*>(notificationData)->GetHeader;
    case SF_NOTIFY_AUTH_COMPLETE:
      return static_cast<HTTP_FILTER_AUTH_COMPLETE_INFO*>(notificationData)->GetHeader;
    default:
      return nullptr;
  }
}

bool TakesNoFurtherPart(const CDLLContext& dllContext) {
  return dllContext.ControlStatus == IGNORE_REQUEST ||
         dllContext.ControlStatus == REDIRECTED_REQUEST;
}

std::string WorkerTrace(uint32_t workerId, DWORD notificationType) {
  return "Service Worker ID: " + std::to_string(workerId) +
         " Notification Type: " + std::to_string(notificationType);
}

// Sends the worker's replacement bytes; a failure is logged, the request finishes anyway.
void WriteReplacementBuffer(HTTP_FILTER_CONTEXT* pfc, const CDLLContext& dllContext) {
  DWORD length = dllContext.ReplaceLength;
  BOOL written = FALSE;
  if (pfc == nullptr || pfc->WriteClient == nullptr ||
      (dllContext.ReplaceBuffer == nullptr && length != 0)) {
    SetLastError(kErrorInvalidParameter);
  } else {
    written = pfc->WriteClient(pfc, dllContext.ReplaceBuffer, &length, 0);
  }
  if (!written) {
    Log("PostProcessNotification failed to WriteClient Error: %d", static_cast<int>(GetLastError()));
  }
}

}  // namespace

DWORD CBaseNotification::Notify(HTTP_FILTER_CONTEXT* pfc, void* notificationData) {
  DWORD status = SF_STATUS_REQ_NEXT_NOTIFICATION;
  if (!PreProcessNotification(FilterContextOf(pfc), pfc, notificationData, status)) return status;
  CFilterContext* context = FilterContextOf(pfc);
  if (context == nullptr) {
    Log("CBaseNotification::Notify got a NULL CFilterContext after PreProcessNotification");
    return status;
  }
  status = CallServiceWorkers(context, pfc, notificationData);
  EndOfNotification(context, pfc, notificationData, status);
  return status;
}

bool CBaseNotification::PreProcessNotification(CFilterContext* context, HTTP_FILTER_CONTEXT*,
                                               void*, DWORD&) {
  if (context == nullptr || context->Finished || context->Stop) return false;
  if (context->Proxied && GetCoreGeneralSettings()->AllWorkersIgnoreProxied()) return false;
  return true;
}

bool CBaseNotification::PrepareDLLContext(CFilterContext* context, const CRefHandle<CDLLContext>& dllContext) {
  if (!dllContext) return false;
  if (dllContext->Callbacks) PrepareCallbackTable(notificationType_, *dllContext->Callbacks);
  if (context != nullptr &&
      (notificationType_ == SF_NOTIFY_SEND_RESPONSE || notificationType_ == SF_NOTIFY_SEND_RAW_DATA)) {
    dllContext->Outbound = context->Outbound;
  }
  return true;
}

DWORD CBaseNotification::CallServiceWorkers(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                                            void* notificationData) {
  DWORD status = SF_STATUS_REQ_NEXT_NOTIFICATION;
  if (serviceWorkers_ == nullptr || serviceWorkers_->Workers().empty() || context == nullptr) {
    return status;
  }
  for (const CRefHandle<CServiceWorkerDLLInfo>& worker : serviceWorkers_->Workers()) {
    if (!worker->WantsNotification(notificationType_)) continue;
    if (context->Proxied && worker->IgnoresProxied) continue;
    CRefHandle<CDLLContext> dllContext = context->GetDLLContext(worker->Id);
    if (!dllContext) continue;
    std::string trace = WorkerTrace(worker->Id, notificationType_);
    if (TakesNoFurtherPart(*dllContext) && notificationType_ != SF_NOTIFY_END_OF_REQUEST) continue;
    try {
      dllContext->NotificationType = notificationType_;
      dllContext->pfc = pfc;
      dllContext->NotificationData = notificationData;
      Log("Calling Service Worker %s for %d notification.", worker->Name.c_str(),
          static_cast<int>(notificationType_));
      PrepareDLLContext(context, dllContext);
      trace += " Call HttpFilterProc ";
      status = worker->Initialised && worker->pHttpFilterProc != nullptr
                   ? worker->pHttpFilterProc(NexoralWorkerArgument(dllContext.get()), 0, nullptr)
                   : 0;
      trace += " Call PostProcessNotification ";
      if (PostProcessNotification(context, dllContext.get(), pfc)) break;
    } catch (abi::__forced_unwind&) {
      throw;  // thread cancellation must unwind on
    } catch (const _com_error& error) {
      const HRESULT hr = error.Error();
      const std::string text = error.ErrorMessage();
      LogError(static_cast<DWORD>(hr), "BaseNotification::CallServiceWorkers got EXCEPTION HR 0x%x, %s %s",
               static_cast<unsigned>(hr), text.c_str(), trace.c_str());
      ReportText(kReportError, "BaseNotification::CallServiceWorkers got COM EXCEPTION HR 0x%x, %s %s",
                 static_cast<unsigned>(hr), text.c_str(), trace.c_str());
      dllContext->ControlStatus = IGNORE_REQUEST;
    } catch (const CAtlException& error) {
      const HRESULT hr = error.m_hr;
      LogError(static_cast<DWORD>(hr), "BaseNotification::CallServiceWorkers got ATL EXCEPTION  0x%x %s",
               static_cast<unsigned>(hr), trace.c_str());
      ReportText(kReportError, "BaseNotification::CallServiceWorkers failed  ATL EXCEPTION 0x%x %s",
                 static_cast<unsigned>(hr), trace.c_str());
      dllContext->ControlStatus = IGNORE_REQUEST;
    } catch (const std::exception& error) {
      Log("BaseNotification::CallServiceWorkers got STD EXCEPTION  %s %s", error.what(), trace.c_str());
      ReportText(kReportError, "BaseNotification::CallServiceWorkers failed  STD %s %s", error.what(),
                 trace.c_str());
      dllContext->ControlStatus = IGNORE_REQUEST;
    } catch (...) {
      Log("BaseNotification::CallServiceWorkers got GENERAL EXCEPTION %s ", trace.c_str());
      ReportText(kReportError, "BaseNotification::CallServiceWorkers failed GE  %s", trace.c_str());
      dllContext->ControlStatus = IGNORE_REQUEST;
    }
  }
  return status;
}

bool CBaseNotification::PostProcessNotification(CFilterContext* context, CDLLContext* dllContext,
                                                HTTP_FILTER_CONTEXT* pfc) {
  const int id = static_cast<int>(dllContext->WorkerId);
  const int feature = static_cast<int>(dllContext->Feature);
  const int type = static_cast<int>(notificationType_);
  switch (dllContext->ControlStatus) {
    case CONTROL_NONE:
      Log("SW DLL %d returned status CONTROL_NONE, Feature %d, Notification %d", id, feature, type);
      return false;
    case IGNORE_REQUEST:
      Log("SW DLL %d indicated to ignore request", id);
      return false;
    case REDIRECTED_REQUEST:
      Log("SW DLL %d returned status REDIRECTED_REQUEST, Feature %d, Notification %d", id, feature,
          type);
      context->Stop = true;
      return true;
    case REPLACE_BUFFER:
      Log("SW DLL %d returned status REPLACE_BUFFER, Feature %d, Notification %d", id, feature, type);
      context->Stop = true;
      context->Finished = true;
      // During raw data the replacement becomes the response block instead.
      if (notificationType_ != SF_NOTIFY_SEND_RAW_DATA) WriteReplacementBuffer(pfc, *dllContext);
      return true;
    case COMPLETED_REQUEST:
      Log("SW DLL %d returned status COMPLETED_REQUEST, Feature %d, Notification %d", id, feature,
          type);
      context->Stop = true;
      context->Finished = true;
      return true;
    default:
      Log("SW DLL %d returned an UNDEFINED status, Feature %d, Notification %d", id, feature, type);
      return false;
  }
}

bool CBaseNotification::EndOfNotification(CFilterContext* context, HTTP_FILTER_CONTEXT*, void*,
                                          DWORD& status) {
  if (context == nullptr) return true;
  if (context->Finished) {
    status = SF_STATUS_REQ_FINISHED_KEEP_CONN;
  } else if (!CheckAnyDLLsLeft(context)) {
    context->Stop = true;
    status = SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
  return true;
}

bool CBaseNotification::CheckAnyDLLsLeft(CFilterContext* context) const {
  bool anyLeft = false;
  if (serviceWorkers_ != nullptr && context != nullptr) {
    for (const CRefHandle<CServiceWorkerDLLInfo>& worker : serviceWorkers_->Workers()) {
      if (!worker->WantsNotification(notificationType_)) continue;
      CRefHandle<CDLLContext> dllContext = context->GetDLLContext(worker->Id);
      if (dllContext && !TakesNoFurtherPart(*dllContext)) {
        anyLeft = true;
        break;
      }
    }
  }
  Log("[CBaseNotification::CheckAnyDLLsLeft] Any DLLs left to notify? %s", anyLeft ? "TRUE" : "FALSE");
  return anyLeft;
}

void CBaseNotification::CaptureRequestVariables(HTTP_FILTER_CONTEXT* pfc,
                                                const std::vector<std::string>& names,
                                                std::map<std::string, std::string>& target,
                                                DWORD notificationType, void* notificationData) {
  const bool fetchable = pfc != nullptr && CarriesVariables(notificationType);
  for (const std::string& name : names) {
    if (!fetchable) {
      target.emplace(name, std::string());
      continue;
    }
    std::string value;
    if (GetIISParam(pfc, notificationType, name.c_str(), value, notificationData)) {
      target.emplace(name, std::move(value));
    }
  }
}

bool CBaseNotification::GetIISParam(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType,
                                    const char* name, std::string& value, void* notificationData) {
  if (!CarriesVariables(notificationType)) return true;
  if (pfc == nullptr || name == nullptr) return false;
  const bool fromVariable = GetIISParmT(pfc, pfc->GetServerVariable, name, value);
  if (fromVariable && !value.empty()) return true;
  PFN_GETVALUE getHeader = HeaderFetchOf(notificationType, notificationData);
  if (getHeader == nullptr) return fromVariable;
  // Header names are asked for with a colon after them.
  char headerName[128];
  const size_t length = std::strlen(name);
  std::string longName;
  const char* asked = headerName;
  if (length + 2 <= sizeof(headerName)) {
    std::memcpy(headerName, name, length);
    headerName[length] = ':';
    headerName[length + 1] = '\0';
  } else {
    longName = std::string(name) + ":";
    asked = longName.c_str();
  }
  const bool fromHeader = GetIISParmT(pfc, getHeader, asked, value);
  return fromVariable || fromHeader;
}

bool CBaseNotification::GetIISParmT(HTTP_FILTER_CONTEXT* pfc, PFN_GETVALUE fetch, const char* name,
                                    std::string& value) {
  if (pfc == nullptr || fetch == nullptr || name == nullptr) return false;
  DWORD size = 0;
  if (fetch(pfc, name, nullptr, &size)) return true;
  const DWORD error = GetLastError();
  if (size == 0) return false;
  if (error == kErrorInsufficientBuffer) {
    if (size > kMaxValueSize) {
      LogError(kErrorNotEnoughMemory, "GetIISParmT %s failed Error: %d", name,
               static_cast<int>(kErrorNotEnoughMemory));
      return false;
    }
    // Fetched straight into the value; the text ends at the first NUL.
    value.assign(static_cast<size_t>(size) + 1, '\0');
    DWORD bufferSize = size;
    bool fetched = fetch(pfc, name, value.data(), &bufferSize) != FALSE;
    if (!fetched) {
      const DWORD secondError = GetLastError();
      LogError(secondError, "GetIISParmT %s failed Error: %d", name, static_cast<int>(secondError));
    }
    value.resize(std::strlen(value.c_str()));
    return fetched;
  }
  if (error == kErrorInvalidParameter || error == kErrorNoData || error == kErrorInvalidIndex) {
    Log("GetIISParmT %s %s Error %d", " GetServerVariable failed", name, static_cast<int>(error));
  }
  return false;
}

void CBaseNotification::LogWithRequestInfo(bool toEventLog, bool withRequest,
                                           const CFilterContext* context, const char* format, ...) {
  if (format == nullptr) return;
  char message[kRequestLogChars + 1];
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  if (written < 0) message[0] = '\0';
  std::string text(message);
  if (withRequest) {
    const CRequestInfo empty;
    const CRequestInfo& info =
        context != nullptr && context->RequestInfo ? *context->RequestInfo : empty;
    text += " URL: " + info.ValueOf(names::kUrl);
    text += " QueryString: " + info.ValueOf(names::kQueryString);
    text += " User: " + info.ValueOf(names::kAuthUser);
    text += " UserAgent: " + info.ValueOf(names::kHttpUserAgent);
  }
  Log("%s", text.c_str());
  if (toEventLog) ReportText(kReportError, "%s", text.c_str());
}

}  // namespace nexoral
