// Access tokens: who a request runs as. A token is an identity record (user, domain, SID,
// group SIDs) behind a HANDLE. The server issues one per authenticated request; the module
// duplicates it and puts it on the request thread around calls made on the user's behalf.
// Implemented in libnexoral_runtime so that the server, the module and the workers share one
// handle table and one thread token per thread. All functions are thread-safe.
#ifndef NEXORAL_PLATFORM_THREAD_TOKEN_H
#define NEXORAL_PLATFORM_THREAD_TOKEN_H

#include <memory>
#include <string>
#include <vector>

#include "nexoral/win_types.h"

namespace nexoral::platform {

struct TokenIdentity {
  std::string user;     // account name without domain
  std::string domain;   // the account's domain (the host name for local accounts)
  std::string sid;      // the account's security identifier, "S-1-..."
  std::vector<std::string> groupSids;  // the SIDs of the groups the account belongs to
};

// Issues a new handle for a new token of the given identity.
HANDLE CreateAccessToken(const TokenIdentity& identity);

// A new handle to the same identity. False with the last error 6 for an unknown handle.
bool DuplicateAccessToken(HANDLE token, HANDLE* duplicate);

// Closes a handle. False with the last error 6 for an unknown or already closed handle.
// A thread that carries the token keeps carrying it.
bool CloseAccessToken(HANDLE token);

// The identity behind a handle. False with the last error 6 for an unknown handle.
bool GetAccessTokenIdentity(HANDLE token, TokenIdentity* identity);

// Makes the calling thread run as the token's identity (impersonation); a null token reverts to
// the process identity. False with the last error 6 for an unknown handle.
bool SetThreadToken(HANDLE token);

// Ends the calling thread's impersonation. Always succeeds.
bool RevertToSelf();

// A new handle to the calling thread's token. False with the last error 1008 when the thread
// does not impersonate.
bool OpenThreadToken(HANDLE* token);

// True when the calling thread impersonates.
bool ThreadImpersonates();

// The identity of the process (the account the server runs as), looked up once.
const TokenIdentity& ProcessIdentity();

// The identity the calling thread acts as: its token's, else the process's.
TokenIdentity EffectiveIdentity();
// The same without a copy; it stays valid while held, whatever the thread does with its token.
std::shared_ptr<const TokenIdentity> SharedEffectiveIdentity();

// Number of open token handles; for leak checks.
size_t OpenTokenHandleCount();

// Runs a scope under the process identity: a thread token in place at construction is taken
// off and put back at destruction (held as it is, without a handle of the table).
class ProcessIdentityScope {
 public:
  ProcessIdentityScope();
  ~ProcessIdentityScope();
  ProcessIdentityScope(const ProcessIdentityScope&) = delete;
  ProcessIdentityScope& operator=(const ProcessIdentityScope&) = delete;

 private:
  std::shared_ptr<const TokenIdentity> saved_;
};

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_THREAD_TOKEN_H
