// Request pre-processing: the decision to take a request and the building of its context tree.
#include "notifications/preproc_notification.h"

#include <new>

#include "common/names.h"
#include "diagnostics/event_log.h"
#include "diagnostics/log.h"
#include "host/request_context.h"
#include "host/worker_callbacks.h"
#include "notifications/preproc_rules.h"
#include "platform/ascii_text.h"
#include "platform/error_codes.h"
#include "rewriting/cached_script_manager.h"
#include "settings/core_general_settings.h"
#include "settings/core_items.h"
#include "settings/folder_subscription.h"

namespace nexoral {
namespace {

constexpr char kRedirectStatus[] = "302 Object Moved";
constexpr char kUrlHeader[] = "URL";

// The captured value equals the literal: same length, equal ignoring case.
bool ValueEquals(const CRequestInfo& requestInfo, const char* name, const char* literal) {
  std::string value;
  return requestInfo.Lookup(name, value) && platform::EqualsIgnoreCase(value, literal);
}

HTTP_FILTER_PREPROC_HEADERS* HeaderRecord(void* notificationData) {
  return static_cast<HTTP_FILTER_PREPROC_HEADERS*>(notificationData);
}

// "http" or "https" for the client side of the request.
bool SecureTowardsClient(const CRequestInfo& requestInfo) {
  return ValueEquals(requestInfo, names::kHttps, "on") ||
         ValueEquals(requestInfo, names::kHttpFrontEndHttps, "on");
}

}  // namespace

CPreProcNotification::CPreProcNotification(CServiceWorkers* serviceWorkers)
    : CBaseNotification(serviceWorkers, SF_NOTIFY_PREPROC_HEADERS),
      firstNames_{names::kHttpUrl,         names::kUrl,
                  names::kQueryString,     names::kRemoteAddr,
                  names::kLocalAddr,       names::kAuthType,
                  names::kHttpUserAgent,   names::kHttps,
                  names::kHttpHost,        names::kZqRequest,
                  names::kHttpRemoteClientIp, names::kHttpForwardedFor,
                  names::kHttpMethod,      names::kHttpVersion,
                  names::kHttpAcceptLanguage, names::kHttpFrontEndHttps,
                  names::kZqHttp,          names::kOwaProxySid,
                  names::kZqCriteria,      names::kHttpExplicitLogonUser},
      secondNames_{names::kAllRaw,     names::kAllHttp,          names::kRemoteHost,
                   names::kServerPort, names::kServerPortSecure, names::kHttpAuthorization,
                   names::kHttpCookie} {}

bool CPreProcNotification::PreProcessNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                                                  void* notificationData, DWORD& status) {
  CRefHandle<CRequestInfo> requestInfo;
  try {
    requestInfo = MakeRefHandle<CRequestInfo>();
  } catch (const std::bad_alloc&) {
    LogError(kErrorNotEnoughMemory,
             "CPreProcNotification::PreProcessNotificationFailed to allocateMemory for CRequestInfo");
    return false;
  }
  if (context != nullptr) {
    Log("CPreProcNotification::PreProcessNotification valid Context pointer found <0x%p> delete and "
        "initialized to NULL.",
        static_cast<void*>(context));
    DestroyFilterContext(pfc);
  }
  CaptureRequestVariables(pfc, firstNames_, requestInfo->Variables, SF_NOTIFY_PREPROC_HEADERS,
                          notificationData);
  const bool ignored = CheckZQRequest(*requestInfo);
  CaptureRequestVariables(pfc, secondNames_, requestInfo->Variables, SF_NOTIFY_PREPROC_HEADERS,
                          notificationData);
  LogRawRequest(*requestInfo);
  SetRemoteClientIPHeader(pfc, notificationData, *requestInfo);
  if (ignored) return false;

  bool proxied = false;
  if (CheckProxyRequest(*requestInfo, proxied, notificationData)) return true;
  ParseQueryString(*requestInfo);
  if (!CheckLocalHostLoopback(*requestInfo, pfc, status)) return false;
  if (!GetCoreGeneralSettings()->Criteria().CheckUserAgent(
          requestInfo->ValueOf(names::kHttpUserAgent))) {
    return false;
  }
  RemoveCSMPrefix(*requestInfo, pfc, notificationData);
  return TakeRequest(requestInfo, proxied, pfc, notificationData, status);
}

bool CPreProcNotification::TakeRequest(const CRefHandle<CRequestInfo>& requestInfo, bool proxied,
                                       HTTP_FILTER_CONTEXT* pfc, void* notificationData, DWORD&) {
  if (pfc == nullptr) return false;
  Matches matches;
  if (serviceWorkers_ == nullptr || !CheckURLForSubscription(*requestInfo, matches)) {
    Log("CPreProcNotification::PreProcessNotification no subcription match found ignore request");
    return false;
  }
  CFilterContext* context = NewFilterContext();
  if (context == nullptr) {
    Log("CPreProcNotification::PreProcessNotification memory allocation failure CFilterContext");
    return false;
  }
  context->Proxied = proxied;
  context->RequestInfo = requestInfo;
  if (!BuildExchangeURLs(*context) || !BuildDLLContexts(matches, *context, pfc, notificationData)) {
    DeleteFilterContext(context);
    return false;
  }
  // Only a request taken carries the prefix.
  AddCSMHeader(pfc, notificationData);
  pfc->pFilterContext = context;
  Log("CPreProcNotification::PreProcessNotification set a FilterContext 0x%p",
      static_cast<void*>(context));
  return true;
}

bool CPreProcNotification::PostProcessNotification(CFilterContext* context, CDLLContext* dllContext,
                                                   HTTP_FILTER_CONTEXT* pfc) {
  return CBaseNotification::PostProcessNotification(context, dllContext, pfc);
}

bool CPreProcNotification::CheckZQRequest(const CRequestInfo& requestInfo) {
  if (!ValueEquals(requestInfo, names::kZqHttp, "1")) return false;
  Log("CheckZQRequest found a ZQ_HTTP_FLAG, the request will be ignored");
  return true;
}

void CPreProcNotification::LogRawRequest(const CRequestInfo& requestInfo) {
  if (LogSwitch() == 0) return;  // no copy or masking for a log that writes nothing
  std::string raw = requestInfo.ValueOf(names::kAllRaw);
  if (raw.empty()) return;
  MaskCredentials(raw);
  Log("PreProc ALL_RAW %s", raw.c_str());
}

bool CPreProcNotification::SetRemoteClientIPHeader(HTTP_FILTER_CONTEXT* pfc, void* notificationData,
                                                   const CRequestInfo& requestInfo) {
  if (GetCoreGeneralSettings()->CoreItemOr(kItemAddClientAddressHeader, 1) != 1) return true;
  if (!requestInfo.ValueOf(names::kHttpRemoteClientIp).empty()) return true;
  std::string address;
  if (GetCoreGeneralSettings()->CoreItemOr(kItemClientAddressFromForwardedFor, 0) != 0) {
    address = requestInfo.ValueOf(names::kHttpForwardedFor);
  }
  if (address.empty()) address = requestInfo.ValueOf(names::kRemoteAddr);
  if (address.empty()) {
    Log("SetRemoteClientIPHeader failed to get header REMOTE_ADDR");
    return false;
  }
  HTTP_FILTER_PREPROC_HEADERS* headers = HeaderRecord(notificationData);
  if (headers == nullptr || headers->SetHeader == nullptr ||
      !headers->SetHeader(pfc, names::kRemoteClientIpHeader, address.c_str())) {
    if (headers == nullptr || headers->SetHeader == nullptr) SetLastError(kErrorInvalidParameter);
    LogError(GetLastError(), "SetRemoteClientIPHeader failed to set header %s for IP %s",
             names::kRemoteClientIpHeader, address.c_str());
    return false;
  }
  return true;
}

bool CPreProcNotification::CheckProxyRequest(const CRequestInfo& requestInfo, bool& proxied,
                                             void*) {
  bool result = false;
  proxied = false;
  std::string value;
  if (requestInfo.Lookup(names::kZqCriteria, value)) {
    if (!value.empty()) {
      Log("CheckProxyRequest found a ZQ_CRITERIA");
      result = true;
    } else {
      Log("CheckProxyRequest found a ZQ_CRITERIA but is empty");
    }
  }
  if (requestInfo.Lookup(names::kOwaProxySid, value)) {
    if (!value.empty()) {
      const bool allIgnore = GetCoreGeneralSettings()->AllWorkersIgnoreProxied();
      Log("CheckProxyRequest found a X-OWA-ProxySid, the request will be %s",
          allIgnore ? "ignored " : "handled due to SW interested in");
      // A request another server already handled stays passed through whatever the workers take.
      result = result || allIgnore;
      proxied = true;
    } else {
      Log("CheckProxyRequest found a X-OWA-ProxySid but is empty");
    }
  }
  if (!result && ValueEquals(requestInfo, names::kHttpUserAgent, "OwaProxy")) {
    Log("CheckProxyRequest found a UserAgent as OwaProxy");
    result = true;
  }
  return result;
}

bool CPreProcNotification::ParseQueryString(CRequestInfo& requestInfo) {
  const std::string query = requestInfo.ValueOf(names::kQueryString);
  if (query.empty()) return false;
  if (ParseQueryParameters(query, requestInfo.QueryParameters)) return true;
  Log("Parse QS failed %s", query.c_str());
  return false;
}

bool CPreProcNotification::CheckLocalHostLoopback(const CRequestInfo& requestInfo,
                                                  HTTP_FILTER_CONTEXT* pfc, DWORD& status) {
  if (!IsLoopbackAddress(requestInfo.ValueOf(names::kLocalAddr))) return true;
  CCoreGeneralSettings* settings = GetCoreGeneralSettings();
  const std::string userAgent = requestInfo.ValueOf(names::kHttpUserAgent);
  bool skip = false;
  {
    CSyncGuard guard(settings->SettingsLock());
    skip = settings->Criteria().SkipLoopbackRedirect();
  }
  if (skip || !settings->Criteria().CheckUserAgent(userAgent)) {
    Log("CheckLocalHostLoopback Ignore condition of local host was found for US %s",
        userAgent.c_str());
    return false;
  }
  if (!IsValidHostAndPort(settings->ComputerName())) {
    Log("CheckLocalHostLoopback the host name is no valid host, no redirection");
    return false;
  }
  std::string location = "Location: http";
  if (SecureTowardsClient(requestInfo)) location += "s";
  location += "://" + settings->ComputerName();
  Log("Detected loopback call, preparing redirection to host name.");
  std::string pathAndQuery;
  if (!requestInfo.Lookup(names::kHttpUrl, pathAndQuery)) {
    Log("CheckLocalHostLoopback failed to get HTTP_URL");
    status = SF_STATUS_REQ_FINISHED_KEEP_CONN;
    return false;
  }
  location += EncodedForHeader(pathAndQuery);
  const BOOL sent =
      pfc != nullptr && pfc->ServerSupportFunction != nullptr &&
      pfc->ServerSupportFunction(pfc, SF_REQ_SEND_RESPONSE_HEADER,
                                 const_cast<char*>(kRedirectStatus),
                                 reinterpret_cast<ULONG_PTR>(location.c_str()), 0);
  if (!sent) {
    const DWORD error = GetLastError();
    Log("Sending redirection to <%s> failed %d", location.c_str(), static_cast<int>(error));
    ReportText(kReportInformation,
               "Nexoral detected a localhost loopback, redirection failed %s Error: %d",
               location.c_str(), static_cast<int>(error));
    return false;
  }
  Log("Sent redirection to <%s>", location.c_str());
  // The client has its answer: the request goes no further here.
  status = SF_STATUS_REQ_FINISHED_KEEP_CONN;
  return false;
}

bool CPreProcNotification::RemoveCSMPrefix(const CRequestInfo& requestInfo,
                                           HTTP_FILTER_CONTEXT* pfc, void* notificationData) {
  HTTP_FILTER_PREPROC_HEADERS* headers = HeaderRecord(notificationData);
  if (pfc == nullptr || headers == nullptr) {
    Log("CPreProcNotification::RemoveCSMPrefix invalid parameters");
    return false;
  }
  const std::string url = requestInfo.ValueOf(names::kUrl);
  if (url.empty()) {
    Log("CPreProcNotification::RemoveCSMPrefix empty url");
    return false;
  }
  if (platform::AsciiLower(url).find("/owa/") == std::string::npos) return true;
  Log("CPreProcNotification::RemoveCSMPrefix owa url, continue");
  size_t start = 0;
  size_t length = 0;
  if (!FindStaticFileName(url, &start, &length)) return true;
  const std::string name = url.substr(start, length);
  Log("CPreProcNotification::RemoveCSMPrefix Static content file, name:<%s>.", name.c_str());
  CCachedScriptManager* manager = GetCachedScriptManager();
  if (!manager->IsDecorated(name)) return true;
  std::string newUrl = url.substr(0, start) + manager->Undecorate(name) + url.substr(start + length);
  // The URL variable holds the path alone, and setting it replaces the whole target: the
  // query goes back on, or it would be lost.
  const std::string query = requestInfo.ValueOf(names::kQueryString);
  if (!query.empty() && newUrl.find('?') == std::string::npos) newUrl += "?" + query;
  Log("Decorated script file name, redirect to new URL <%s>.", newUrl.c_str());
  if (headers->SetHeader == nullptr || !headers->SetHeader(pfc, kUrlHeader, newUrl.c_str())) {
    if (headers->SetHeader == nullptr) SetLastError(kErrorInvalidParameter);
    LogError(GetLastError(), "Failed to rewrite url");
    return false;
  }
  return true;
}

bool CPreProcNotification::CheckURLForSubscription(const CRequestInfo& requestInfo,
                                                   Matches& matches) const {
  if (serviceWorkers_->Workers().empty()) return false;
  const std::string url = requestInfo.ValueOf(names::kUrl);
  if (url.empty()) return false;
  const std::string extension = UrlExtension(url);
  CCoreGeneralSettings* settings = GetCoreGeneralSettings();
  SubscriptionMatch scratch;
  bool excluded = false;
  {
    CSyncGuard guard(settings->SettingsLock());
    excluded = CheckFolderSubscription(url, extension, scratch,
                                       settings->Criteria().Core().CoreExclusions(),
                                       requestInfo.QueryParameters);
  }
  if (excluded) {
    Log("CheckURLForSubscription URL excluded %s By CORE %d ", url.c_str(),
        static_cast<int>(scratch.MatchedBy));
    return false;
  }
  for (const CRefHandle<CServiceWorkerDLLInfo>& worker : serviceWorkers_->Workers()) {
    scratch.ServiceWorkerId = 0;
    scratch.MatchedBy = 0;
    if (worker->CheckFolderSubscription(*settings, url, extension, scratch, requestInfo)) {
      matches.push_back(scratch);
    }
  }
  return !matches.empty();
}

bool CPreProcNotification::AddCSMHeader(HTTP_FILTER_CONTEXT* pfc, void* notificationData) {
  HTTP_FILTER_PREPROC_HEADERS* headers = HeaderRecord(notificationData);
  if (pfc == nullptr || headers == nullptr) return false;
  const std::string prefix = GetCachedScriptManager()->GetCSMPrefix();
  bool added = false;
  if (headers->AddHeader != nullptr) {
    added = headers->AddHeader(pfc, names::kCsmPrefixHeader, prefix.c_str()) == 1;
  } else {
    SetLastError(kErrorInvalidParameter);
  }
  if (added) {
    Log("CPreProcNotification::AddCSMHeader added csm header value: %s", prefix.c_str());
  } else {
    LogError(GetLastError(), "Failed to add CSM Header");
  }
  Log("CPreProcNotification::AddCSMHeader method returned: %s", added ? "true" : "false");
  return added;
}

bool CPreProcNotification::BuildExchangeURLs(CFilterContext& context) {
  context.ExchangeUrls.Release();
  try {
    context.ExchangeUrls = MakeRefHandle<ExchangeURLs>();
  } catch (const std::bad_alloc&) {
    Log("BuildExchangeURLs memory allocation failure");
    return false;
  }
  const CRequestInfo& info = *context.RequestInfo;
  const bool internalSecure = ValueEquals(info, names::kHttps, "on");
  const bool externalSecure =
      SecureTowardsClient(info) || GetCoreGeneralSettings()->SslOffloaded();
  // The external URL is the configured one, else built from a valid Host: never from other
  // client text.
  std::string configured;
  GetCoreGeneralSettings()->GetCoreItem(kItemExternalUrl, configured);
  std::string external = ExternalUrlFromSetting(configured);
  if (external.empty() && !configured.empty()) {
    Log("BuildExchangeURLs item %d is no http(s) URL of a host, ignored",
        static_cast<int>(kItemExternalUrl));
  }
  const std::string host = info.ValueOf(names::kHttpHost);
  if (external.empty()) {
    if (!IsValidHostAndPort(host)) return false;
    external = std::string("http") + (externalSecure ? "s" : "") + "://" + WithoutDefaultPort(host);
  }
  const std::string internalHost =
      AddressForUrl(info.ValueOf(names::kLocalAddr)) + ":" + info.ValueOf(names::kServerPort);
  if (!IsValidHostAndPort(internalHost)) return false;
  const std::string url = info.ValueOf(names::kUrl);
  if (url.empty()) return false;
  const std::string mailbox = info.ValueOf(names::kHttpExplicitLogonUser);

  ExchangeURLs& urls = *context.ExchangeUrls;
  urls.InternalURL = std::string("http") + (internalSecure ? "s" : "") + "://" + internalHost;
  urls.ExternalURL = external;
  urls.VirtualDirectory = VirtualDirectoryOf(url);
  if (!mailbox.empty()) urls.VirtualDirectory += "/" + mailbox;
  const bool inDirectory = !urls.VirtualDirectory.empty();
  urls.InternalBaseURL = inDirectory ? urls.VirtualDirectory + "/" : urls.InternalURL;
  urls.ExternalBaseURL = inDirectory ? urls.VirtualDirectory + "/" : urls.ExternalURL;
  urls.InternalScriptsURL = urls.InternalURL + "/Scripts/";
  urls.ExternalScriptsURL = urls.ExternalURL + "/Scripts/";
  return true;
}

bool CPreProcNotification::BuildDLLContexts(const Matches& matches, CFilterContext& context,
                                            HTTP_FILTER_CONTEXT* pfc, void* notificationData) {
  if (matches.empty()) return false;
  CRefHandle<CFilterCallbackPrototypes> callbacks = CreateCallbackTable();
  if (!callbacks) return false;
  bool created = false;
  for (const SubscriptionMatch& match : matches) {
    if (match.Subscribed == 0) continue;
    CRefHandle<CDLLContext> dllContext;
    try {
      dllContext = MakeRefHandle<CDLLContext>();
    } catch (const std::bad_alloc&) {
      LogError(kErrorNotEnoughMemory,
               "CPreProcNotification::BuildDLLContexts memory allocation failureof CDLLContext");
      continue;
    }
    dllContext->NotificationType = SF_NOTIFY_PREPROC_HEADERS;
    dllContext->pfc = pfc;
    dllContext->NotificationData = notificationData;
    dllContext->FilterContext = &context;
    dllContext->ExchangeUrls = context.ExchangeUrls;
    dllContext->WorkerId = match.ServiceWorkerId;
    dllContext->MatchedBy = static_cast<int32_t>(match.MatchedBy);
    dllContext->RequestInfo = context.RequestInfo;
    dllContext->Callbacks = callbacks;
    context.DLLContexts.push_back(std::move(dllContext));
    created = true;
  }
  return created;
}

}  // namespace nexoral
