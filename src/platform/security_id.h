// Security identifiers in binary form, their text form "S-1-<authority>-<sub>-..." and the
// membership test of a token: the account itself or one of its groups. The runtime's tokens keep
// their SIDs as text; they are read and compared as binary records here, so "s-1-5-032-544" and
// "S-1-5-32-544" name the same group.
#ifndef NEXORAL_PLATFORM_SECURITY_ID_H
#define NEXORAL_PLATFORM_SECURITY_ID_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nexoral/win_types.h"

namespace nexoral::platform {

inline constexpr DWORD kErrorInvalidSid = 1337;
inline constexpr size_t kMaxSubAuthorities = 15;

// A SID of revision 1: a 48-bit identifier authority and up to 15 sub-authorities. Fixed size,
// so reading one allocates nothing.
struct SecurityId {
  uint8_t revision = 1;
  uint8_t subAuthorityCount = 0;
  uint64_t authority = 0;
  std::array<uint32_t, kMaxSubAuthorities> subAuthorities{};

  friend bool operator==(const SecurityId& left, const SecurityId& right) {
    if (left.revision != right.revision || left.authority != right.authority ||
        left.subAuthorityCount != right.subAuthorityCount) {
      return false;
    }
    // From the last: SIDs of one domain differ in their final relative id.
    for (size_t i = left.subAuthorityCount; i-- > 0;) {
      if (left.subAuthorities[i] != right.subAuthorities[i]) return false;
    }
    return true;
  }
};

// Reads "S-1-<authority>-<sub>..." (the "S" in either case; the authority in decimal, or in hex
// after "0x"; 1 to 15 decimal 32-bit sub-authorities). False with the last error
// kErrorInvalidSid for anything else; sid is then unchanged.
bool ConvertStringSidToSid(std::string_view text, SecurityId* sid);
// The canonical text form: decimal authority below 2^32, "0x" and 12 hex digits above.
std::string ConvertSidToStringSid(const SecurityId& sid);

// Whether sid is the account or one of the groups of the token. A null token stands for the
// calling thread: its impersonation token, else the process identity. False with the last error
// 6 for an unknown token handle; *isMember is set only on success.
bool CheckTokenMembership(HANDLE token, const SecurityId& sid, bool* isMember);

// The account and group SIDs of a token read once, for a series of membership tests that give
// what CheckTokenMembership gives for each SID (a request's bypass and group tests).
class TokenSids {
 public:
  // token as for CheckTokenMembership; false with the last error 6 for an unknown handle.
  bool Read(HANDLE token);
  bool Contains(const SecurityId& sid) const;

 private:
  std::vector<SecurityId> sids_;
};

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_SECURITY_ID_H
