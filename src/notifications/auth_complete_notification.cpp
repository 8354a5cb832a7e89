// Authentication complete: impersonation, the user's identity and criterion, the options save.
#include "notifications/auth_complete_notification.h"

#include <cxxabi.h>

#include <cstdio>
#include <exception>

#include "common/names.h"
#include "criteria/ad_user_config.h"
#include "criteria/security_access.h"
#include "diagnostics/event_log.h"
#include "diagnostics/log.h"
#include "platform/ascii_text.h"
#include "platform/error_codes.h"
#include "platform/thread_token.h"
#include "settings/core_general_settings.h"
#include "settings/core_items.h"

namespace nexoral {
namespace {

constexpr HRESULT kInvalidRecord = static_cast<HRESULT>(0x80070057u);
constexpr char kAccountNameAttribute[] = "sAMAccountName";
constexpr char kOptions[] = "Options";

bool IsUsableToken(HANDLE token) { return token != nullptr && token != INVALID_HANDLE_VALUE; }

const char* TrueFalse(bool value) { return value ? "TRUE" : "FALSE"; }

std::string Captured(const CFilterContext& context, const char* name) {
  return context.RequestInfo ? context.RequestInfo->ValueOf(name) : std::string();
}

bool QueryParameterIs(const CFilterContext& context, const char* name, const char* literal) {
  if (!context.RequestInfo) return false;
  const auto& parameters = context.RequestInfo->QueryParameters;
  const auto found = parameters.find(name);
  return found != parameters.end() && platform::EqualsIgnoreCase(found->second, literal);
}

// The client address: the forwarded-for list when item 85 says so (verbatim), else the
// front end's client-address header, else the peer.
std::string ClientAddress(const CFilterContext& context) {
  std::string address;
  if (GetCoreGeneralSettings()->CoreItemOr(kItemClientAddressFromForwardedFor, 0) != 0) {
    address = Captured(context, names::kHttpForwardedFor);
  }
  if (address.empty()) address = Captured(context, names::kHttpRemoteClientIp);
  if (address.empty()) address = Captured(context, names::kRemoteAddr);
  return address;
}

// The account name of the explicit-logon mailbox's owner, from the directory; empty when the
// directory does not know exactly one owner.
std::string MailboxOwner(const std::string& mailbox) {
  CADUserConfig lookup;
  const std::shared_ptr<const CCriteriaSettings> criteria =
      GetCoreGeneralSettings()->Criteria().Criteria();
  int32_t option = 0;
  if (criteria && criteria->GetGeneralInt(AD_LOOKUP_OPTION, option)) lookup.configType = option;
  lookup.SetSearchKey(mailbox, kSearchSmtpAddress);
  std::string account;
  if (Failed(lookup.ReadProperty(kAccountNameAttribute, account))) return std::string();
  if (account.find(';') != std::string::npos) {
    Log("DetectCriteria found several owners of the mailbox %s: %s", mailbox.c_str(), account.c_str());
    return std::string();
  }
  return account;
}

// The user's name and SID from the thread's token, else from the server's variables. False
// when the last variable fetch failed.
bool FindUser(CFilterContext& context, HTTP_FILTER_CONTEXT* pfc) {
  std::string domain;
  const DWORD error = GetThreadUser(context.UserName, domain, context.UserSid);
  LogError(error, "GetThreadUser Domain/User/Sid %s/%s/%s", domain.c_str(), context.UserName.c_str(),
           context.UserSid.c_str());
  // A token that cannot be read is no reason to match no one: the server still knows the user.
  if (!context.UserName.empty()) return true;
  std::string name;
  bool fetched = false;
  for (const char* variable : {names::kLogonUser, names::kAuthUser, names::kRemoteUser}) {
    name.clear();
    fetched = CBaseNotification::GetIISParam(pfc, SF_NOTIFY_AUTH_COMPLETE, variable, name, nullptr);
    if (!name.empty()) break;
  }
  if (name.empty()) {
    Log("DetectCriteria couldn't get a non empty LOGON_USER/AUTH_USER/REMOTE_USER");
    std::string authType;
    const bool known = CBaseNotification::GetIISParam(pfc, SF_NOTIFY_AUTH_COMPLETE, names::kAuthType,
                                                      authType, nullptr);
    Log("DetectCriteria AUTH_TYPE %s. %s", known ? "SUCCEEDED" : "FAILED", authType.c_str());
  }
  context.UserName = name;
  if (!fetched) Log("DetectCriteria couldn't get LOGON_USER");
  return fetched;
}

// Hands the criteria id on: to every worker's context and in the request header.
bool PassCriteriaOn(CFilterContext& context, HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_AUTH_COMPLETE_INFO* info) {
  for (const CRefHandle<CDLLContext>& dllContext : context.DLLContexts) {
    if (dllContext) dllContext->CriteriaId = context.CriteriaId;
  }
  char text[21];
  std::snprintf(text, sizeof(text), "%d", static_cast<int>(context.CriteriaId));
  const bool set = info != nullptr && info->SetHeader != nullptr &&
                   info->SetHeader(pfc, names::kZqCriteriaHeader, text) == TRUE;
  if (set) {
    Log("Criteria header ZQ_CRITERIA: was set to %s", text);
  } else {
    LogError(GetLastError(), "Criteria failed to set Header");
  }
  return set;
}

}  // namespace

CAuthCompleteNotification::CAuthCompleteNotification(CServiceWorkers* serviceWorkers)
    : CBaseNotification(serviceWorkers, SF_NOTIFY_AUTH_COMPLETE),
      names_{names::kLogonUser,     names::kAuthUser,           names::kRemoteUser,
             names::kRemoteAddr,    names::kAuthType,           names::kHttpUserAgent,
             names::kHttpRemoteClientIp, names::kHttpForwardedFor, names::kHttpZqTz} {}

bool CAuthCompleteNotification::PreProcessNotification(CFilterContext* context,
                                                       HTTP_FILTER_CONTEXT* pfc,
                                                       void* notificationData, DWORD& status) {
  Log("AuthComplete PreProcessNotification starts RequestHandled %d RequestIgnored %d",
      context != nullptr ? static_cast<int>(context->Finished) : -100,
      context != nullptr ? static_cast<int>(context->Stop) : -100);
  if (context == nullptr) return false;
  auto* info = static_cast<HTTP_FILTER_AUTH_COMPLETE_INFO*>(notificationData);
  const char* trace = " base::PreProcessNotification ";
  bool result = false;
  try {
    if (!CBaseNotification::PreProcessNotification(context, pfc, notificationData, status)) {
      Log("AuthComplete PreProcessNotification exit with %s", TrueFalse(false));
      return false;
    }
    trace = " GetHeadersAndIISVariables ";
    GetHeadersAndIISVariables(context, pfc);
    trace = " HandleUserOptionsChange 1 ";
    HandleUserOptionsChange(context);
    trace = " ImpersonateUser ";
    ImpersonateUser(context, pfc, info);
    std::string authType;
    GetIISParam(pfc, SF_NOTIFY_AUTH_COMPLETE, names::kAuthType, authType, notificationData);
    Log("AUTH_TYPE: %s", authType.c_str());
    trace = " DetectCriteria ";
    if (DetectCriteria(context, pfc, info)) {
      trace = " HandleUserOptionsChange 2 ";
      HandleUserOptionsChange(context);
      result = true;
    } else {
      StopImpersonating(context);
    }
  } catch (abi::__forced_unwind&) {
    StopImpersonating(context);
    throw;
  } catch (const std::exception& error) {
    StopImpersonating(context);
    const DWORD lastError = GetLastError();
    Log("AuthComplete PreProcessNotification exit with std EXCEPTION %d  %s Ret %s %s",
        static_cast<int>(status), error.what(), TrueFalse(false), trace);
    ReportText(kReportError, "AuthComplete PreProcessNotification exit with std EXCEPTION Error: %d %s %s",
               static_cast<int>(lastError), error.what(), trace);
    return false;
  } catch (...) {
    StopImpersonating(context);
    const DWORD lastError = GetLastError();
    Log("AuthComplete PreProcessNotification exit with EXCEPTION %d Ret %s", static_cast<int>(status),
        TrueFalse(false));
    ReportText(kReportError, "AuthComplete PreProcessNotification exit with GE EXCEPTION ERROR: %d %s",
               static_cast<int>(lastError), trace);
    return false;
  }
  Log("AuthComplete PreProcessNotification exit with %s", TrueFalse(result));
  return result;
}

void CAuthCompleteNotification::GetHeadersAndIISVariables(CFilterContext* context,
                                                          HTTP_FILTER_CONTEXT* pfc) const {
  if (!context->RequestInfo || pfc == nullptr) return;
  for (const std::string& name : names_) {
    std::string value;
    if (GetIISParmT(pfc, pfc->GetServerVariable, name.c_str(), value)) {
      context->RequestInfo->Variables.emplace(name, std::move(value));  // an earlier value stays
    }
  }
}

bool CAuthCompleteNotification::HandleUserOptionsChange(CFilterContext* context) {
  if (context == nullptr || !platform::EqualsIgnoreCase(Captured(*context, names::kHttpMethod), "POST")) {
    return true;
  }
  bool save = QueryParameterIs(*context, "ae", kOptions);
  if (!save && QueryParameterIs(*context, "ns", kOptions)) {
    const std::string url = Captured(*context, names::kUrl);
    const auto event = context->RequestInfo->QueryParameters.find("ev");
    save = url.size() >= 6 && platform::ContainsIgnoreCase(url, "ev.owa") &&
           event != context->RequestInfo->QueryParameters.end() && event->second.size() >= 4 &&
           platform::StartsWithIgnoreCase(event->second, "Save");
  }
  if (!save) return true;
  Log("[CAuthCompleteNotification::HandleUserOptionsChange] found save command");
  bool result = true;
  if (!context->UserName.empty()) {
    Log("[CAuthCompleteNotification::HandleUserOptionsChange] invalidate user cache");
    result = GetCoreGeneralSettings()->InvalidateADUserCache(context->UserName);
  }
  Log("[CAuthCompleteNotification::HandleUserOptionsChange] returned %s", result ? "True" : "False");
  return result;
}

bool CAuthCompleteNotification::ImpersonateUser(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                                                HTTP_FILTER_AUTH_COMPLETE_INFO* info) {
  bool result = false;
  if (info == nullptr || info->GetUserToken == nullptr) {
    LogError(static_cast<DWORD>(kInvalidRecord), "[NotifyAuthComplete] invalid PHTTP_FILTER_AUTH_COMPLETE_INFO");
    return false;
  }
  HANDLE token = nullptr;
  if (!info->GetUserToken(pfc, &token) || !IsUsableToken(token)) {
    LogError(GetLastError(), "[NotifyAuthComplete] GetUserToken failed with error %d. Token %p",
             static_cast<int>(GetLastError()), token);
    context->UserToken = nullptr;
  } else {
    context->UserToken = token;
    HANDLE duplicate = nullptr;
    if (!platform::DuplicateAccessToken(token, &duplicate)) {
      Log("[NotifyAuthComplete] ImpersonateUser DuplicateToken failed %d. Token %p",
          static_cast<int>(GetLastError()), token);
      duplicate = nullptr;
    } else if (!IsUsableToken(duplicate)) {
      Log("[NotifyAuthComplete] ImpersonateUser DuplicateToken duplicated an invalid token %d. Token Orig %p, Duplicate %p",
          static_cast<int>(GetLastError()), token, duplicate);
      duplicate = nullptr;
    } else {
      Log("[NotifyAuthComplete] ImpersonateUser DuplicateToken  %p", duplicate);
    }
    if (duplicate != nullptr) {
      if (context->ImpersonationToken != nullptr) platform::CloseAccessToken(context->ImpersonationToken);
      context->ImpersonationToken = duplicate;
    }
    result = platform::SetThreadToken(token);
    if (!result) {
      // The token is the server's: it is forgotten, never closed here.
      Log("[NotifyAuthComplete] ImpersonateUser SetThreadToken failed with error %d",
          static_cast<int>(GetLastError()));
      context->UserToken = nullptr;
    }
  }
  Log("ImpersonateUser returned %s", TrueFalse(result));
  return result;
}

bool CAuthCompleteNotification::DetectCriteria(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                                               HTTP_FILTER_AUTH_COMPLETE_INFO* info) {
  if (!context->RequestInfo) return false;
  bool succeeded = true;
  const std::string address = ClientAddress(*context);
  std::string userAgent;
  std::string host;
  const std::string mailbox = Captured(*context, names::kHttpExplicitLogonUser);
  if (address.empty()) {
    Log("DetectCriteria couldn't get REMOTE_ADDR");
    succeeded = false;
  } else if (!context->RequestInfo->Lookup(names::kHttpUserAgent, userAgent)) {
    Log("DetectCriteria couldn't get HTTP_USER_AGENT");
    succeeded = false;
  } else {
    if (!mailbox.empty()) context->UserName = MailboxOwner(mailbox);
    if (context->UserName.empty()) succeeded = FindUser(*context, pfc);
    if (succeeded && !GetIISParam(pfc, SF_NOTIFY_AUTH_COMPLETE, names::kHttpHost, host, info)) {
      Log("DetectCriteria couldn't get HTTP_HOST");
      succeeded = false;
    }
  }
  if (!context->UserName.empty()) context->RequestInfo->Variables.emplace(names::kZqUserName, context->UserName);
  if (!context->UserSid.empty()) context->RequestInfo->Variables.emplace(names::kZqUserSid, context->UserSid);
  if (!succeeded) return false;

  bool bypassed = false;
  const bool matched = GetCoreGeneralSettings()->Criteria().GetCriteriaID(
      context->CriteriaId, address, context->UserName, userAgent, host, mailbox, context->UserSid, bypassed);
  if (bypassed) {
    context->Stop = true;
    Log("DetectCriteria ByPassZephyrquill for user %s, SID %s", context->UserName.c_str(),
        context->UserSid.c_str());
  }
  return matched && PassCriteriaOn(*context, pfc, info);
}

void CAuthCompleteNotification::StopImpersonating(CFilterContext* context) {
  if (context == nullptr || context->UserToken == nullptr) return;
  if (!platform::RevertToSelf()) {
    Log("[NotifyAuthComplete] EndOfNotification SetThreadToken failed %d. Leak handle %p",
        static_cast<int>(GetLastError()), context->UserToken);
  }
  context->UserToken = nullptr;
}

bool CAuthCompleteNotification::EndOfNotification(CFilterContext* context, HTTP_FILTER_CONTEXT* pfc,
                                                  void* notificationData, DWORD& status) {
  CBaseNotification::EndOfNotification(context, pfc, notificationData, status);
  StopImpersonating(context);
  return true;
}

}  // namespace nexoral
