// The users the server authenticates with Basic credentials: a file of lines
//   name:crypt-hash:domain:sid:group-sid,group-sid,...
// with crypt(3) password hashes ('#' starts a comment line). Weak hash methods (DES, extended DES,
// MD5 and the other legacy ones) are refused at load. Loaded once at start-up and read-only
// afterwards; Authenticate may be called from any thread.
#ifndef NEXORAL_SERVER_USERS_FILE_H
#define NEXORAL_SERVER_USERS_FILE_H

#include <atomic>
#include <map>
#include <optional>
#include <string>

#include "platform/thread_token.h"

namespace nexoral::server {

struct UsersFileError {
  unsigned line = 0;
  std::string message;
};

class UsersFile {
 public:
  // Parses the file's text; the first malformed line is reported in *error and fails the load.
  static std::optional<UsersFile> Parse(const std::string& text, UsersFileError* error);
  static std::optional<UsersFile> Load(const std::string& path, UsersFileError* error);

  // The identity of the user when the password matches the stored hash. User names compare
  // ignoring ASCII case, as account names do. Costs one crypt(3) whether the user exists or not:
  // unknown and locked users are checked against a dummy hash of the same method and cost.
  std::optional<platform::TokenIdentity> Authenticate(const std::string& user,
                                                      const std::string& password) const;

  size_t Size() const { return users_.size(); }
  // How many times Authenticate ran crypt(3).
  unsigned long CryptCalls() const { return cryptCalls_.value.load(std::memory_order_relaxed); }

 private:
  struct Entry {
    std::string hash;
    platform::TokenIdentity identity;
  };
  std::map<std::string, Entry> users_;  // by lower-case name
  std::string dummyHash_;  // a random password hashed like the first usable entry
  struct Counter {  // a copy counts from zero
    Counter() = default;
    Counter(const Counter&) {}
    Counter& operator=(const Counter&) { return *this; }
    mutable std::atomic<unsigned long> value{0};
  };
  Counter cryptCalls_;
};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_USERS_FILE_H
