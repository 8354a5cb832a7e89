// The token helpers over the runtime's thread tokens.
#include "criteria/security_access.h"

#include "diagnostics/log.h"
#include "nexoral/filter_interface.h"
#include "platform/error_codes.h"
#include "platform/security_id.h"
#include "platform/thread_token.h"

namespace nexoral {

DWORD CSecurityAccess::GetTokenUser(HANDLE token, std::string& user, std::string& domain,
                                    std::string& sid) {
  platform::TokenIdentity identity;
  if (!platform::GetAccessTokenIdentity(token, &identity)) return GetLastError();
  platform::SecurityId binary;
  if (platform::ConvertStringSidToSid(identity.sid, &binary)) {
    sid = platform::ConvertSidToStringSid(binary);
  }
  if (identity.user.empty()) return kErrorNoneMapped;
  if (identity.user.size() > kMaxAccountNameChars || identity.domain.size() > kMaxAccountNameChars) {
    return kErrorInsufficientNameBuffer;
  }
  user = identity.user;
  domain = identity.domain;
  return kErrorSuccess;
}

DWORD GetThreadUser(std::string& user, std::string& domain, std::string& sid) {
  HANDLE query = nullptr;
  if (!platform::OpenThreadToken(&query)) return GetLastError();
  // The guard puts the impersonation back on every way out, an exception included.
  CRevertToSelf asProcess;
  const DWORD error = CSecurityAccess().GetTokenUser(query, user, domain, sid);
  platform::CloseAccessToken(query);
  return error;
}

DWORD GetThreadUser(std::string& account) {
  DWORD error = kErrorSuccess;
  try {
    std::string user;
    std::string domain;
    std::string sid;
    error = GetThreadUser(user, domain, sid);
    if (error == kErrorSuccess) account = domain + "\\" + user;
  } catch (...) {
    Log("GetThreadUser unexpected error");
    return static_cast<DWORD>(kEUnexpected);
  }
  if (error != kErrorSuccess) {
    Log("GetThreadUser can not read User & Domain error %d", static_cast<int>(error));
  }
  return error;
}

CRevertToSelf::CRevertToSelf() {
  if (!platform::OpenThreadToken(&token_)) {
    openError_ = GetLastError();
    token_ = nullptr;
    return;
  }
  saved_ = true;
  if (!platform::RevertToSelf()) revertError_ = GetLastError();
}

CRevertToSelf::~CRevertToSelf() { Restore(); }

void CRevertToSelf::Restore() {
  if (!saved_) return;
  platform::SetThreadToken(token_);
  platform::CloseAccessToken(token_);
  token_ = nullptr;
  saved_ = false;
}

}  // namespace nexoral
