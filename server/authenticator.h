// Who a request runs as: anonymous for the configured path prefixes, otherwise a user whose
// Basic credentials match the users file, otherwise nobody (401 with the challenge). Built once
// at start-up; Check and Authenticate may be called from any thread. Authenticate runs crypt(3)
// on a small pool of its own threads, never on the connection's, and slows addresses that keep
// failing.
#ifndef NEXORAL_SERVER_AUTHENTICATOR_H
#define NEXORAL_SERVER_AUTHENTICATOR_H

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "net.h"
#include "platform/thread_token.h"
#include "server_config.h"
#include "users_file.h"

namespace nexoral::server {

struct AuthResult {
  enum class Kind {
    kAnonymous,      // the path allows anonymous access; the request runs as the server
    kAuthenticated,  // Basic credentials matched; identity holds the user
    kDenied,         // no or wrong credentials: answer 401 with the challenge
    kThrottled,      // too many failures from the address are waiting: answer 429
  };
  Kind kind = Kind::kDenied;
  platform::TokenIdentity identity;  // for kAuthenticated

  std::string AuthType() const;   // "Basic" or ""
  std::string LogonUser() const;  // "DOMAIN\user" or ""
};

struct BasicCredentials;

// The failed logins per client address (an IPv6 address counts by its /64), in a table of
// bounded size split in shards with a lock each. An address with failuresBeforeDelay failures,
// none further apart than failureWindow, is slowed: its attempts are checked one per
// failureDelay, and beyond kMaxWaiting waiting ones refused. A full shard forgets its entry with
// the oldest failure first.
class FailureLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  using Key = std::array<unsigned char, 16>;
  static constexpr size_t kShards = 16;
  static constexpr unsigned kMaxWaiting = 8;

  explicit FailureLimiter(const AuthLimits& limits);

  static Key KeyOf(std::string_view address);
  // How long an attempt from key waits before its password is checked (zero when the address is
  // not slowed); nothing when it is refused.
  std::optional<Duration> Admit(const Key& key, Clock::time_point now);
  void RecordFailure(const Key& key, Clock::time_point now);
  size_t Tracked() const { return tracked_.load(std::memory_order_relaxed); }

 private:
  struct Entry {
    size_t failures = 0;
    Clock::time_point lastFailure;
    Clock::time_point nextCheck;  // when the last admitted slowed attempt runs
  };
  struct KeyHash {
    size_t operator()(const Key& key) const;
  };
  struct Shard {
    std::mutex mutex;
    std::unordered_map<Key, Entry, KeyHash> entries;
  };
  Shard& ShardOf(const Key& key) { return shards_[KeyHash()(key) % kShards]; }

  AuthLimits limits_;
  size_t shardCapacity_;
  std::array<Shard, kShards> shards_;
  std::atomic<size_t> tracked_{0};  // while zero, Admit takes no lock
};

class Authenticator {
 public:
  Authenticator(std::optional<UsersFile> users, std::vector<std::string> anonymousPrefixes,
                std::string realm, const AuthLimits& limits = {});
  ~Authenticator();

  // decodedPath: the request path as routed; authorization: the Authorization header or "".
  // Runs crypt(3) on the calling thread.
  AuthResult Check(std::string_view decodedPath, std::string_view authorization) const;

  // Check for a connection's coroutine: crypt(3) runs on the pool while the coroutine waits,
  // after the delay of a slowed remoteAddress. The views must outlive the wait.
  Task<AuthResult> Authenticate(std::string_view decodedPath, std::string_view authorization,
                                std::string_view remoteAddress) const;

  // The WWW-Authenticate value of a 401 answer.
  std::string Challenge() const;

 private:
  bool IsAnonymousPath(std::string_view path) const;
  AuthResult Verify(const BasicCredentials& credentials) const;

  std::optional<UsersFile> users_;
  std::vector<std::string> anonymousPrefixes_;
  std::string realm_;
  std::unique_ptr<FailureLimiter> failures_;
  std::unique_ptr<asio::thread_pool> cryptPool_;
};

// "Basic <base64 of user:password>" split into user and password; nothing when malformed.
struct BasicCredentials {
  std::string user;
  std::string password;
};
std::optional<BasicCredentials> ParseBasicCredentials(std::string_view authorization);

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_AUTHENTICATOR_H
