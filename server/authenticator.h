// Who a request runs as: anonymous for the configured path prefixes, otherwise a user whose
// Basic credentials match the users file, otherwise nobody (401 with the challenge). Built once
// at start-up; Check may be called from any thread.
#ifndef NEXORAL_SERVER_AUTHENTICATOR_H
#define NEXORAL_SERVER_AUTHENTICATOR_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/thread_token.h"
#include "users_file.h"

namespace nexoral::server {

struct AuthResult {
  enum class Kind {
    kAnonymous,      // the path allows anonymous access; the request runs as the server
    kAuthenticated,  // Basic credentials matched; identity holds the user
    kDenied,         // no or wrong credentials: answer 401 with the challenge
  };
  Kind kind = Kind::kDenied;
  platform::TokenIdentity identity;  // for kAuthenticated

  std::string AuthType() const;   // "Basic" or ""
  std::string LogonUser() const;  // "DOMAIN\user" or ""
};

class Authenticator {
 public:
  Authenticator(std::optional<UsersFile> users, std::vector<std::string> anonymousPrefixes,
                std::string realm);

  // decodedPath: the request path as routed; authorization: the Authorization header or "".
  AuthResult Check(std::string_view decodedPath, std::string_view authorization) const;

  // The WWW-Authenticate value of a 401 answer.
  std::string Challenge() const;

 private:
  bool IsAnonymousPath(std::string_view path) const;

  std::optional<UsersFile> users_;
  std::vector<std::string> anonymousPrefixes_;
  std::string realm_;
};

// "Basic <base64 of user:password>" split into user and password; nothing when malformed.
struct BasicCredentials {
  std::string user;
  std::string password;
};
std::optional<BasicCredentials> ParseBasicCredentials(std::string_view authorization);

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_AUTHENTICATOR_H
