// Token helpers of the criteria engine and the request handling: the user behind a token, the
// "domain\account" of the calling thread, and a guard that runs a piece of work under the
// process identity while the thread impersonates a request's user.
#ifndef NEXORAL_CRITERIA_SECURITY_ACCESS_H
#define NEXORAL_CRITERIA_SECURITY_ACCESS_H

#include <string>

#include "nexoral/win_types.h"

namespace nexoral {

inline constexpr DWORD kErrorInsufficientNameBuffer = 122;
inline constexpr DWORD kErrorNoneMapped = 1332;
// Longest account or domain name read from a token.
inline constexpr size_t kMaxAccountNameChars = 255;

class CSecurityAccess {
 public:
  virtual ~CSecurityAccess() = default;

  // The account name, its domain and its SID text (canonical form; left alone when the token's
  // SID is not valid). 0 or the system error code: 6 for an unknown token, 1332 when the token
  // names no account, 122 for a name longer than kMaxAccountNameChars.
  DWORD GetTokenUser(HANDLE token, std::string& user, std::string& domain, std::string& sid);
};

// The calling thread's "domain\account". Reads it under the process identity and leaves the
// thread impersonating as before, also on failure. 0 or the system error code (1008 when the
// thread does not impersonate); account is set only on success.
DWORD GetThreadUser(std::string& account);
// The calling thread's account name, its domain and its SID text, read the same way. On failure
// the values read so far stay (a thread without a token gives 1008 and leaves them alone).
DWORD GetThreadUser(std::string& user, std::string& domain, std::string& sid);

// Construction takes the calling thread's impersonation token off the thread; Restore (also run
// at destruction) puts it back. On a thread that does not impersonate it does nothing.
class CRevertToSelf {
 public:
  CRevertToSelf();
  ~CRevertToSelf();
  CRevertToSelf(const CRevertToSelf&) = delete;
  CRevertToSelf& operator=(const CRevertToSelf&) = delete;

  void Restore();
  bool Saved() const { return saved_; }
  DWORD OpenError() const { return openError_; }

 private:
  DWORD revertError_ = 0;
  DWORD openError_ = 0;
  HANDLE token_ = nullptr;
  bool saved_ = false;
};

}  // namespace nexoral

#endif  // NEXORAL_CRITERIA_SECURITY_ACCESS_H
