// The callback table of a request.
#include "host/worker_callbacks.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <new>
#include <string_view>

#include "diagnostics/log.h"
#include "host/base_notification.h"
#include "nexoral/buffer_instruction.h"
#include "nexoral/filter_context.h"
#include "platform/ascii_text.h"
#include "settings/core_general_settings.h"
#include "settings/core_items.h"

namespace nexoral {
namespace {

// Runs body; any exception it throws is logged and turned into fallback, so that none reaches
// the worker that called back. Thread cancellation still unwinds.
template <class Result, class Body>
Result Guarded(const char* operation, Result fallback, Body body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::exception& error) {
    Log("CCalbacksSW::%s got EXCEPTION %s", operation, error.what());
  } catch (...) {
    Log("CCalbacksSW::%s got EXCEPTION", operation);
  }
  return fallback;
}

unsigned Low32(const void* address) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(address));
}

// The value of the cookie called name ("name=" given), or empty. The name must begin one of the
// header's items, so "XUserContext=" is not taken for "UserContext=".
std::string CookieValue(std::string_view header, std::string_view nameWithEquals) {
  size_t item = 0;
  while (item < header.size()) {
    while (item < header.size() && (header[item] == ' ' || header[item] == '\t')) ++item;
    const size_t end = std::min(header.find(';', item), header.size());
    std::string_view text = header.substr(item, end - item);
    if (platform::StartsWithIgnoreCase(text, nameWithEquals)) {
      return std::string(text.substr(nameWithEquals.size()));
    }
    item = end + 1;
  }
  return std::string();
}

CFilterContext* RequestOf(const CDLLContext& context) {
  return context.FilterContext != nullptr ? context.FilterContext : FilterContextOf(context.pfc);
}

std::string UserNameOf(const CDLLContext& context) {
  const CFilterContext* request = RequestOf(context);
  return request == nullptr ? std::string() : request->UserName;
}

std::string CapturedOf(const CDLLContext& context, const char* name) {
  return context.RequestInfo ? context.RequestInfo->ValueOf(name) : std::string();
}

}  // namespace

void WorkerLog(const char* text) {
  if (text == nullptr) return;
  Guarded("WorkerLog", 0, [&] {
    Log("%s", text);
    return 0;
  });
}

BOOL WorkerWriteClient(CDLLContext* context, const void* buffer, DWORD* bytes) {
  Log("CCalbacksSW::WorkerWriteClient start");
  const BOOL result = Guarded("WorkerWriteClient", FALSE, [&]() -> BOOL {
    HTTP_FILTER_CONTEXT* pfc = context == nullptr ? nullptr : context->pfc;
    if (pfc == nullptr || pfc->WriteClient == nullptr) {
      Log("CCalbacksSW::WorkerWriteClient Did not execute WriteClient because pfc is null");
      return FALSE;
    }
    if (bytes == nullptr || (buffer == nullptr && *bytes != 0)) {
      Log("CCalbacksSW::WorkerWriteClient Did not execute WriteClient because the buffer is missing");
      return FALSE;
    }
    const BOOL written = pfc->WriteClient(pfc, buffer, bytes, 0);
    if (!written) {
      LogError(GetLastError(), "CCalbacksSW::WorkerWriteClient Did a WriteClient with pfc=%08X buffer=%08X bytes=%d result=%s",
               Low32(pfc), Low32(buffer), static_cast<int>(*bytes), "fail");
    }
    return written;
  });
  Log("CCalbacksSW::WorkerWriteClient ends");
  return result;
}

DWORD WorkerSubmitBufferCommands(CDLLContext* context, CBufferInstructionList* instructions) {
  Log("CCalbacksSW::WorkerSubmitBufferCommands start");
  const DWORD result = Guarded("WorkerSubmitBufferCommands", kInstructionInvalid, [&] {
    CFilterContext* request = context == nullptr ? nullptr : FilterContextOf(context->pfc);
    if (request == nullptr || instructions == nullptr || !request->Instructions) return kInstructionInvalid;
    return request->Instructions->MergeList(instructions);
  });
  Log("CCalbacksSW::WorkerSubmitBufferCommands ends");
  return result;
}

std::string EwsUrlOf(const CDLLContext& context) {
  std::string url;
  GetCoreGeneralSettings()->CoreItemText(kItemEwsUrl, &url);
  if (!url.empty()) return url;
  if (!context.ExchangeUrls || context.ExchangeUrls->InternalURL.empty()) return std::string();
  return context.ExchangeUrls->InternalURL + "/EWS/exchange.asmx";
}

bool GetSessionID(CDLLContext* context) {
  if (context == nullptr) return false;
  Log("CCalbacksSW::GetSessionID start");
  const bool filled = Guarded("GetSessionID", false, [&] {
    if (!context->SessionId.empty()) return true;
    const std::string cookie = CapturedOf(*context, "HTTP_COOKIE");
    if (!cookie.empty()) {
      context->SessionId = CookieValue(cookie, "UserContext=");
      if (context->SessionId.empty()) context->SessionId = CookieValue(cookie, "sessionid=");
    }
    if (context->SessionId.empty()) context->SessionId = UserNameOf(*context);
    for (const char* name : {"LOGON_USER", "AUTH_USER", "REMOTE_USER"}) {
      if (!context->SessionId.empty()) break;
      context->SessionId = CapturedOf(*context, name);
    }
    if (context->SessionId.empty()) Log("Anonymous request CCalbacksSW::GetSessionID no cockie or username");
    return !context->SessionId.empty();
  });
  Log("CCalbacksSW::GetSessionID ends");
  return filled;
}

bool WorkerRefreshProperty(CDLLContext* context, int32_t propertyId) {
  Log("CCalbacksSW::WorkerRefreshProperty start ID: %d", propertyId);
  const bool result = context != nullptr && Guarded("WorkerRefreshProperty", false, [&] {
    const std::string userName = UserNameOf(*context);
    GetSessionID(context);
    if (userName.empty()) return true;
    return GetCoreGeneralSettings()->RefreshCustomProperties(userName, context->SessionId, propertyId);
  });
  Log("CCalbacksSW::WorkerGetProperty ends ID: %d %d", propertyId, result ? 1 : 0);
  return result;
}

bool WorkerGetProperty(CDLLContext* context, int32_t propertyId, bool refresh) {
  Log("CCalbacksSW::WorkerGetProperty start ID: %d, Refresh: %d", propertyId, refresh ? 1 : 0);
  const bool result = context != nullptr && Guarded("WorkerGetProperty", false, [&] {
    if (refresh && !WorkerRefreshProperty(context, propertyId)) return false;
    const std::string userName = UserNameOf(*context);
    const std::string authType = CapturedOf(*context, "AUTH_TYPE");
    if (userName.empty()) {
      Log("WorkerGetProperty got an empty UserName %d", propertyId);
      return true;
    }
    const std::string ewsUrl = EwsUrlOf(*context);
    Log("EWS URL is %s", ewsUrl.c_str());
    GetSessionID(context);
    const std::string mailbox = CapturedOf(*context, "HTTP_X_OWA_EXPLICITLOGONUSER");
    return GetCoreGeneralSettings()->GetCustomProperties(userName, context->PropertyList, ewsUrl,
                                                         context->SessionId, propertyId, authType, mailbox);
  });
  Log("CCalbacksSW::WorkerGetProperty ends ID %d, %d", propertyId, result ? 1 : 0);
  return result;
}

bool WorkerSetProperty(CDLLContext* context, int32_t propertyId) {
  Log("CCalbacksSW::WorkerSetProperty start %d", propertyId);
  const bool result = context != nullptr && Guarded("WorkerSetProperty", false, [&] {
    const std::string userName = UserNameOf(*context);
    const std::string authType = CapturedOf(*context, "AUTH_TYPE");
    GetSessionID(context);
    const std::string ewsUrl = EwsUrlOf(*context);
    if (userName.empty()) return true;
    const std::string mailbox = CapturedOf(*context, "HTTP_X_OWA_EXPLICITLOGONUSER");
    return GetCoreGeneralSettings()->SetCustomProperties(userName, context->PropertyList, ewsUrl,
                                                         context->SessionId, propertyId, authType, mailbox);
  });
  Log("CCalbacksSW::WorkerSetProperty ends ID %d", propertyId);
  return result;
}

CRefHandle<CFilterCallbackPrototypes> CreateCallbackTable() {
  try {
    CRefHandle<CFilterCallbackPrototypes> table = MakeRefHandle<CFilterCallbackPrototypes>();
    table->WorkerLog = WorkerLog;
    return table;
  } catch (const std::bad_alloc&) {
    return CRefHandle<CFilterCallbackPrototypes>();
  }
}

void PrepareCallbackTable(DWORD notificationType, CFilterCallbackPrototypes& table) {
  table.WorkerLog = WorkerLog;
  switch (notificationType) {
    case SF_NOTIFY_AUTH_COMPLETE:
    case SF_NOTIFY_SEND_RAW_DATA:
      table.WorkerSubmitBufferCommands = WorkerSubmitBufferCommands;
      table.WorkerGetProperty = WorkerGetProperty;
      table.WorkerSetProperty = WorkerSetProperty;
      table.WorkerRefreshProperty = WorkerRefreshProperty;
      table.WorkerWriteClient = notificationType == SF_NOTIFY_AUTH_COMPLETE ? WorkerWriteClient : nullptr;
      break;
    case SF_NOTIFY_SEND_RESPONSE:
      table.WorkerWriteClient = WorkerWriteClient;
      break;
    default:
      break;
  }
}

}  // namespace nexoral
