// Token handle table and per-thread impersonation.
#include "platform/thread_token.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <memory>

#include "nexoral/filter_interface.h"
#include "platform/handle_table.h"

namespace nexoral::platform {
namespace {

constexpr DWORD kInvalidHandle = 6;
constexpr DWORD kNoToken = 1008;

using SharedIdentity = std::shared_ptr<const TokenIdentity>;


HandleTable<SharedIdentity>& Table() {
  static HandleTable<SharedIdentity> table(0x100);
  return table;
}

thread_local SharedIdentity threadToken;

SharedIdentity FindOrFail(HANDLE handle) {
  SharedIdentity identity = Table().Find(handle).value_or(nullptr);
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

namespace {

TokenIdentity LookUpProcessIdentity() {
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

}  // namespace

const TokenIdentity& ProcessIdentity() {
  // The account a process runs as does not change while it runs.
  static const TokenIdentity identity = LookUpProcessIdentity();
  return identity;
}

TokenIdentity EffectiveIdentity() { return *SharedEffectiveIdentity(); }

std::shared_ptr<const TokenIdentity> SharedEffectiveIdentity() {
  if (threadToken) return threadToken;
  // The process identity lives as long as the process: shared without an owner.
  return SharedIdentity(SharedIdentity(), &ProcessIdentity());
}

size_t OpenTokenHandleCount() { return Table().Size(); }

// No handle and no lock of the table: lookups on the request path run in these scopes. The
// caller's last error is left alone.
ProcessIdentityScope::ProcessIdentityScope() : saved_(std::move(threadToken)) { threadToken.reset(); }

ProcessIdentityScope::~ProcessIdentityScope() {
  if (saved_) threadToken = std::move(saved_);
}

}  // namespace nexoral::platform
