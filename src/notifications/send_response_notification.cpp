// Which responses are taken for rewriting, and what a taken one carries to the workers.
#include "notifications/send_response_notification.h"

#include <cstdlib>
#include <limits>

#include "common/names.h"
#include "diagnostics/log.h"
#include "platform/ascii_text.h"
#include "platform/thread_token.h"
#include "settings/core_general_settings.h"
#include "settings/core_items.h"

namespace nexoral {
namespace {

constexpr DWORD kStatusUnauthorized = 401;
constexpr DWORD kStatusFound = 302;
constexpr int32_t kAddWhenMissing = 1;
constexpr int32_t kAddOrReplace = 2;

constexpr char kTransferEncoding[] = "Transfer-Encoding:";
constexpr char kContentLength[] = "Content-Length:";
constexpr char kContentType[] = "Content-Type:";
constexpr char kContentEncoding[] = "Content-Encoding:";

HTTP_FILTER_SEND_RESPONSE* ResponseRecord(void* notificationData) {
  return static_cast<HTTP_FILTER_SEND_RESPONSE*>(notificationData);
}

// A plain decimal number that fits 32 signed bits; nothing else (signs, blanks inside, other
// characters, overflow) is a length.
bool ParseContentLength(const std::string& text, int32_t* length) {
  size_t begin = text.find_first_not_of(" \t");
  size_t end = text.find_last_not_of(" \t");
  if (begin == std::string::npos) return false;
  int64_t value = 0;
  for (size_t at = begin; at <= end; ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
    value = value * 10 + (text[at] - '0');
    if (value > std::numeric_limits<int32_t>::max()) return false;
  }
  *length = static_cast<int32_t>(value);
  return true;
}

// The response's header through the record's GetHeader; false when it has none.
bool ResponseHeader(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* response,
                    const char* nameWithColon, std::string& value) {
  value.clear();
  return response != nullptr && response->GetHeader != nullptr &&
         CBaseNotification::GetIISParmT(pfc, response->GetHeader, nameWithColon, value);
}

}  // namespace

CSendResponseNotification::CSendResponseNotification(CServiceWorkers* serviceWorkers)
    : CBaseNotification(serviceWorkers, SF_NOTIFY_SEND_RESPONSE),
      headerNames_{kTransferEncoding, "Location:", "WWW-Authenticate:", "Content-Language:",
                   kContentLength,    kContentType, "Set-Cookie:",     "X-ZQTz:"} {}

bool CSendResponseNotification::PreProcessNotification(CFilterContext* context,
                                                       HTTP_FILTER_CONTEXT* pfc,
                                                       void* notificationData, DWORD&) {
  if (context == nullptr || context->Finished || context->Stop) return false;
  if (context->Proxied && GetCoreGeneralSettings()->AllWorkersIgnoreProxied()) return false;
  HTTP_FILTER_SEND_RESPONSE* response = ResponseRecord(notificationData);
  const DWORD httpStatus = response != nullptr ? response->HttpStatus : 0;
  if (httpStatus == kStatusUnauthorized) {
    Log("CSendResponseNotification::CheckStatus Ignore 401 Responses. Do nothing. And clean");
    Log("CSendResponseNotification::PreProcessNotification 401 bRet %d", 1);
    if (CBaseNotification* end = serviceWorkers_->HandlerFor(SF_NOTIFY_END_OF_REQUEST)) {
      end->Notify(pfc, nullptr);
    }
    return false;
  }
  context->Outbound = MakeRefHandle<COutboundContext>();
  if (!context->Outbound) {
    Log("CSendResponseNotification::PreProcessNotification failed to create COutboundContext "
        "pFltContext %p", static_cast<void*>(context));
    return false;
  }
  if (!context->RequestInfo) return true;
  CRequestInfo& requestInfo = *context->RequestInfo;
  GetHeaderValues(pfc, response, requestInfo);
  context->Outbound->Chunked = IsChunkedInSendResponse(requestInfo) ? 1 : 0;
  context->Outbound->HttpStatus = httpStatus;
  AddResponseHeaders(pfc, response);
  // Compressed bytes cannot be edited: such a response goes as it came.
  std::string encoding;
  if (ResponseHeader(pfc, response, kContentEncoding, encoding) && !encoding.empty() &&
      !platform::EqualsIgnoreCase(encoding, "identity")) {
    Log("CSendResponseNotification::PreProcessNotification Content-Encoding <%s>. Ignore. Do "
        "nothing. pFltContext %p", encoding.c_str(), static_cast<void*>(context));
    context->Stop = true;
    return false;
  }
  if (context->Outbound->Chunked == 0 && httpStatus != kStatusFound) {
    return HandleContentLentgh(context);
  }
  return true;
}

DWORD CSendResponseNotification::CallServiceWorkers(CFilterContext* context,
                                                    HTTP_FILTER_CONTEXT* pfc,
                                                    void* notificationData) {
  const HANDLE token = context != nullptr ? context->ImpersonationToken : nullptr;
  const bool impersonating =
      token != nullptr && token != INVALID_HANDLE_VALUE && platform::SetThreadToken(token);
  const DWORD result = CBaseNotification::CallServiceWorkers(context, pfc, notificationData);
  if (impersonating && !platform::RevertToSelf()) std::abort();
  return result;
}

void CSendResponseNotification::GetHeaderValues(HTTP_FILTER_CONTEXT* pfc,
                                                HTTP_FILTER_SEND_RESPONSE* response,
                                                CRequestInfo& requestInfo) const {
  for (const std::string& name : headerNames_) {
    std::string value;
    if (!ResponseHeader(pfc, response, name.c_str(), value)) continue;
    requestInfo.Variables.emplace(name, value);  // an earlier value stays
  }
}

bool CSendResponseNotification::IsChunkedInSendResponse(const CRequestInfo& requestInfo) {
  std::string value;
  const bool chunked =
      requestInfo.Lookup(kTransferEncoding, value) && platform::EqualsIgnoreCase(value, "chunked");
  Log("IsChunkedInSendResponse found %s", chunked ? "chunked" : "non chunked");
  return chunked;
}

void CSendResponseNotification::AddResponseHeaders(HTTP_FILTER_CONTEXT* pfc,
                                                   HTTP_FILTER_SEND_RESPONSE* response) {
  CCoreGeneralSettings* settings = GetCoreGeneralSettings();
  int32_t mode = 0;
  HeaderList headers;
  {
    CSyncGuard guard(settings->SettingsLock());
    if (!settings->GetCoreItem(kItemResponseHeaderHandling, mode)) mode = 0;
    if (mode >= 1) headers = settings->Criteria().AddHeaders();  // copied only when used
  }
  if (mode < 1 || headers.empty() || response == nullptr) return;
  for (const auto& [name, value] : headers) {
    if (name.empty() || (mode != kAddWhenMissing && mode != kAddOrReplace)) continue;
    const std::string header = name + ":";
    std::string current;
    const bool present = ResponseHeader(pfc, response, header.c_str(), current);
    if (present && mode == kAddWhenMissing) continue;
    if (present) {
      if (response->SetHeader == nullptr || !response->SetHeader(pfc, header.c_str(), value.c_str())) {
        LogError(GetLastError(), "SetHeader failed %s %s", header.c_str(), value.c_str());
      }
    } else if (response->AddHeader == nullptr ||
               !response->AddHeader(pfc, header.c_str(), value.c_str())) {
      LogError(GetLastError(), "AddHeader failed %s %s", header.c_str(), value.c_str());
    }
  }
}

bool CSendResponseNotification::HandleContentLentgh(CFilterContext* context) {
  COutboundContext& outbound = *context->Outbound;
  const CRequestInfo& requestInfo = *context->RequestInfo;
  std::string text;
  if (!requestInfo.Lookup(kContentLength, text) || text.empty()) return true;
  int32_t length = 0;
  if (!ParseContentLength(text, &length)) {
    Log("[CSendResponseNotification::HandleContentLentgh] Content length <%s> is no number. "
        "Ignore. Do nothing.", text.c_str());
    context->Stop = true;
    return false;
  }
  if (length < 1) {
    outbound.ZeroLength = 1;
  } else {
    const int32_t limit =
        GetCoreGeneralSettings()->CoreItemOr(kItemRewriteLengthLimit, kDefaultRewriteLengthLimit);
    outbound.ResponseContentLength = length;
    if (length > limit) {
      Log("[CSendResponseNotification::HandleContentLentgh] Request content length <%d> is larger "
          "than our limit <%d>.  Ignore. Do nothing.", length, limit);
      context->Stop = true;
      return false;
    }
  }
  std::string type, url, query;
  requestInfo.Lookup(kContentType, type);
  requestInfo.Lookup(names::kUrl, url);
  requestInfo.Lookup(names::kQueryString, query);
  if (type.empty() && outbound.ZeroLength != 0) {
    Log("[CSendResponseNotification::HandleContentLentgh] URL <%s>, QS=<%s> Content Length is "
        "ZERO, Content type is empty Ignore. Do nothing. pFltContext %p",
        url.c_str(), query.c_str(), static_cast<void*>(context));
    context->Stop = true;
    return false;
  }
  const bool textual = type.size() >= 4 && platform::EqualsIgnoreCase(type.substr(0, 4), "text");
  if (!textual) {  // an empty type with a positive length included
    Log("[CSendResponseNotification::HandleContentLentgh] URL=<%s>, QS=<%s> Content type <%s> is "
        "not empty nor textual. Ignore. Do nothing.  pFltContext %p",
        url.c_str(), query.c_str(), type.c_str(), static_cast<void*>(context));
    context->Stop = true;
    return false;
  }
  return true;
}

}  // namespace nexoral
