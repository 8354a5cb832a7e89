// Binary SIDs, their text form, and token membership over the runtime's token identities.
#include "platform/security_id.h"

#include <cstdio>

#include "nexoral/filter_interface.h"
#include "platform/thread_token.h"

namespace nexoral::platform {
namespace {

constexpr uint64_t kMaxAuthority = (uint64_t{1} << 48) - 1;

// Reads decimal (or, when hex is allowed, "0x" hex) digits up to the next "-" or the end,
// at most limit. Advances text past them.
bool ReadNumber(std::string_view& text, uint64_t limit, bool allowHex, uint64_t* value) {
  size_t end = text.find('-');
  std::string_view digits = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end);
  unsigned base = 10;
  if (allowHex && digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  if (digits.empty()) return false;
  uint64_t number = 0;
  for (char c : digits) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    number = number * base + digit;
    if (number > limit) return false;
  }
  *value = number;
  return true;
}

bool Parse(std::string_view text, SecurityId& sid) {
  if (text.size() < 2 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return false;
  text.remove_prefix(2);
  uint64_t number = 0;
  if (!ReadNumber(text, 1, false, &number) || number != 1) return false;
  if (text.empty()) return false;
  text.remove_prefix(1);
  if (!ReadNumber(text, kMaxAuthority, true, &sid.authority)) return false;
  sid.subAuthorityCount = 0;
  while (!text.empty()) {
    text.remove_prefix(1);  // the "-"
    if (sid.subAuthorityCount == kMaxSubAuthorities) return false;
    if (!ReadNumber(text, UINT32_MAX, false, &number)) return false;
    sid.subAuthorities[sid.subAuthorityCount++] = static_cast<uint32_t>(number);
  }
  return sid.subAuthorityCount > 0;
}

}  // namespace

bool ConvertStringSidToSid(std::string_view text, SecurityId* sid) {
  SecurityId parsed;
  if (sid == nullptr || !Parse(text, parsed)) {
    SetLastError(kErrorInvalidSid);
    return false;
  }
  *sid = parsed;
  return true;
}

std::string ConvertSidToStringSid(const SecurityId& sid) {
  char authority[24];
  if (sid.authority > UINT32_MAX) {
    std::snprintf(authority, sizeof(authority), "0x%012llX",
                  static_cast<unsigned long long>(sid.authority));
  } else {
    std::snprintf(authority, sizeof(authority), "%llu",
                  static_cast<unsigned long long>(sid.authority));
  }
  std::string text = "S-" + std::to_string(sid.revision) + "-" + authority;
  for (size_t i = 0; i < sid.subAuthorityCount; ++i) {
    text += "-" + std::to_string(sid.subAuthorities[i]);
  }
  return text;
}

bool CheckTokenMembership(HANDLE token, const SecurityId& sid, bool* isMember) {
  TokenSids sids;
  if (!sids.Read(token)) return false;
  if (isMember != nullptr) *isMember = sids.Contains(sid);
  return true;
}

bool TokenSids::Read(HANDLE token) {
  std::shared_ptr<const TokenIdentity> shared;
  TokenIdentity copy;
  const TokenIdentity* identity = &copy;
  if (token == nullptr) {
    shared = SharedEffectiveIdentity();
    identity = shared.get();
  } else if (!GetAccessTokenIdentity(token, &copy)) {
    return false;
  }
  sids_.clear();
  sids_.reserve(1 + identity->groupSids.size());
  // A text that does not read as a SID matches none.
  SecurityId sid;
  if (Parse(identity->sid, sid)) sids_.push_back(sid);
  for (const std::string& group : identity->groupSids) {
    if (Parse(group, sid)) sids_.push_back(sid);
  }
  return true;
}

bool TokenSids::Contains(const SecurityId& sid) const {
  for (const SecurityId& own : sids_) {
    if (own == sid) return true;
  }
  return false;
}

}  // namespace nexoral::platform
