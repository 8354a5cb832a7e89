// Basic authentication against the users file, and anonymous paths.
#include "authenticator.h"

#include "text_util.h"

namespace nexoral::server {

std::string AuthResult::AuthType() const { return kind == Kind::kAuthenticated ? "Basic" : ""; }

std::string AuthResult::LogonUser() const {
  if (kind != Kind::kAuthenticated) return {};
  if (identity.domain.empty()) return identity.user;
  return identity.domain + "\\" + identity.user;
}

std::optional<BasicCredentials> ParseBasicCredentials(std::string_view authorization) {
  constexpr std::string_view kScheme = "Basic ";
  if (!StartsWithIgnoreCase(authorization, kScheme)) return std::nullopt;
  std::string_view encoded = authorization.substr(kScheme.size());
  while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
  const std::optional<std::string> decoded = DecodeBase64(encoded);
  if (!decoded) return std::nullopt;
  const size_t colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return BasicCredentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

Authenticator::Authenticator(std::optional<UsersFile> users,
                             std::vector<std::string> anonymousPrefixes, std::string realm)
    : users_(std::move(users)),
      anonymousPrefixes_(std::move(anonymousPrefixes)),
      realm_(std::move(realm)) {}

bool Authenticator::IsAnonymousPath(std::string_view path) const {
  for (const std::string& prefix : anonymousPrefixes_) {
    if (path.substr(0, prefix.size()) == prefix) return true;
  }
  return false;
}

AuthResult Authenticator::Check(std::string_view decodedPath,
                                std::string_view authorization) const {
  AuthResult result;
  if (IsAnonymousPath(decodedPath)) {
    result.kind = AuthResult::Kind::kAnonymous;
    return result;
  }
  const std::optional<BasicCredentials> credentials = ParseBasicCredentials(authorization);
  if (!credentials || !users_) return result;
  // "DOMAIN\user" is accepted when the domain is the user's own.
  std::string user = credentials->user;
  std::string domain;
  if (const size_t slash = user.find('\\'); slash != std::string::npos) {
    domain = user.substr(0, slash);
    user = user.substr(slash + 1);
  }
  std::optional<platform::TokenIdentity> identity = users_->Authenticate(user, credentials->password);
  if (!identity || (!domain.empty() && !EqualsIgnoreCase(domain, identity->domain))) return result;
  result.kind = AuthResult::Kind::kAuthenticated;
  result.identity = std::move(*identity);
  return result;
}

std::string Authenticator::Challenge() const {
  std::string realm;
  for (const char c : realm_) {
    if (c == '"' || c == '\\') realm.push_back('\\');
    if (IsSafeHeaderValue(std::string_view(&c, 1))) realm.push_back(c);
  }
  return "Basic realm=\"" + realm + "\"";
}

}  // namespace nexoral::server
