// The mailbox of a call and canonical property-set GUIDs.
#include "mailbox_identity.h"

#include <cctype>

#include "platform/thread_token.h"

namespace nexoral::mailbox {
namespace {

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string_view TrimBlanks(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<std::string> ThreadUserMailbox() {
  HANDLE token = nullptr;
  if (!platform::OpenThreadToken(&token)) return std::nullopt;
  platform::TokenIdentity identity;
  const bool known = platform::GetAccessTokenIdentity(token, &identity);
  platform::CloseAccessToken(token);
  if (!known || identity.user.empty()) return std::nullopt;
  if (identity.domain.empty()) return LowerAscii(identity.user);
  return LowerAscii(identity.domain + "\\" + identity.user);
}

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

std::optional<std::string> ResolveMailbox(std::string_view explicitMailbox) {
  const std::string_view trimmed = TrimBlanks(explicitMailbox);
  if (!trimmed.empty()) return LowerAscii(trimmed);
  return ThreadUserMailbox();
}

std::optional<std::string> CanonicalPropertySet(std::string_view guid) {
  if (guid.size() == 38 && guid.front() == '{' && guid.back() == '}') {
    guid = guid.substr(1, 36);
  }
  if (guid.size() != 36) return std::nullopt;
  std::string canonical(guid);
  for (size_t index = 0; index < canonical.size(); ++index) {
    const bool dash = index == 8 || index == 13 || index == 18 || index == 23;
    if (dash ? canonical[index] != '-' : !IsHexDigit(canonical[index])) return std::nullopt;
    canonical[index] = static_cast<char>(std::toupper(static_cast<unsigned char>(canonical[index])));
  }
  return canonical;
}

}  // namespace nexoral::mailbox
