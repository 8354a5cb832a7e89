// Token handle table and per-thread impersonation.
#include "platform/thread_token.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "nexoral/filter_interface.h"

namespace nexoral::platform {
namespace {

constexpr DWORD kInvalidHandle = 6;
constexpr DWORD kNoToken = 1008;

using SharedIdentity = std::shared_ptr<const TokenIdentity>;

class TokenTable {
 public:
  HANDLE Insert(SharedIdentity identity) {
    std::lock_guard<std::mutex> guard(mutex_);
    nextId_ += 4;  // handle values look like kernel handles: multiples of 4, never null
    tokens_.emplace(nextId_, std::move(identity));
    return reinterpret_cast<HANDLE>(nextId_);
  }

  SharedIdentity Find(HANDLE handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto found = tokens_.find(reinterpret_cast<uintptr_t>(handle));
    return found == tokens_.end() ? nullptr : found->second;
  }

  bool Erase(HANDLE handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    return tokens_.erase(reinterpret_cast<uintptr_t>(handle)) == 1;
  }

  size_t Size() {
    std::lock_guard<std::mutex> guard(mutex_);
    return tokens_.size();
  }

 private:
  std::mutex mutex_;
  uintptr_t nextId_ = 0x100;
  std::unordered_map<uintptr_t, SharedIdentity> tokens_;
};

TokenTable& Table() {
  static TokenTable table;
  return table;
}

thread_local SharedIdentity threadToken;

SharedIdentity FindOrFail(HANDLE handle) {
  SharedIdentity identity = Table().Find(handle);
  if (!identity) SetLastError(kInvalidHandle);
  return identity;
}

std::string LocalHostName() {
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return "localhost";
  return name;
}

}  // namespace

HANDLE CreateAccessToken(const TokenIdentity& identity) {
  return Table().Insert(std::make_shared<const TokenIdentity>(identity));
}

bool DuplicateAccessToken(HANDLE token, HANDLE* duplicate) {
  SharedIdentity identity = FindOrFail(token);
  if (!identity || duplicate == nullptr) return false;
  *duplicate = Table().Insert(std::move(identity));
  return true;
}

bool CloseAccessToken(HANDLE token) {
  if (Table().Erase(token)) return true;
  SetLastError(kInvalidHandle);
  return false;
}

bool GetAccessTokenIdentity(HANDLE token, TokenIdentity* identity) {
  SharedIdentity found = FindOrFail(token);
  if (!found || identity == nullptr) return false;
  *identity = *found;
  return true;
}

bool SetThreadToken(HANDLE token) {
  if (token == nullptr) return RevertToSelf();
  SharedIdentity identity = FindOrFail(token);
  if (!identity) return false;
  threadToken = std::move(identity);
  return true;
}

bool RevertToSelf() {
  threadToken.reset();
  return true;
}

bool OpenThreadToken(HANDLE* token) {
  if (!threadToken || token == nullptr) {
    SetLastError(kNoToken);
    return false;
  }
  *token = Table().Insert(threadToken);
  return true;
}

bool ThreadImpersonates() { return static_cast<bool>(threadToken); }

TokenIdentity ProcessIdentity() {
  TokenIdentity identity;
  const uid_t uid = geteuid();
  passwd entry{};
  passwd* result = nullptr;
  char buffer[4096];
  if (getpwuid_r(uid, &entry, buffer, sizeof(buffer), &result) == 0 && result != nullptr) {
    identity.user = result->pw_name;
  } else {
    identity.user = std::to_string(uid);
  }
  identity.domain = LocalHostName();
  // Unix accounts map to SIDs under the authority S-1-22 (users 1, groups 2).
  identity.sid = "S-1-22-1-" + std::to_string(uid);
  identity.groupSids.push_back("S-1-22-2-" + std::to_string(getegid()));
  return identity;
}

TokenIdentity EffectiveIdentity() {
  if (threadToken) return *threadToken;
  return ProcessIdentity();
}

size_t OpenTokenHandleCount() { return Table().Size(); }

ProcessIdentityScope::ProcessIdentityScope() {
  if (!ThreadImpersonates()) return;  // leaves the caller's last error alone
  if (OpenThreadToken(&saved_)) RevertToSelf();
}

ProcessIdentityScope::~ProcessIdentityScope() {
  if (saved_ == nullptr) return;
  SetThreadToken(saved_);
  CloseAccessToken(saved_);
}

}  // namespace nexoral::platform
