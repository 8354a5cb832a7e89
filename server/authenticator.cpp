// Basic authentication against the users file, and anonymous paths.
#include "authenticator.h"

#include <algorithm>
#include <functional>

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

FailureLimiter::FailureLimiter(const AuthLimits& limits)
    : limits_(limits), shardCapacity_(std::max<size_t>(1, limits.failureAddresses / kShards)) {}

FailureLimiter::Key FailureLimiter::KeyOf(std::string_view address) {
  Key key{};  // an address that does not parse counts as all zeros
  char text[64] = {};  // longer than any address with its scope
  if (address.size() >= sizeof(text)) return key;
  address.copy(text, address.size());
  error_code ec;
  const asio::ip::address parsed = asio::ip::make_address(text, ec);
  if (ec) return key;
  if (parsed.is_v4()) {
    return asio::ip::make_address_v6(asio::ip::v4_mapped, parsed.to_v4()).to_bytes();
  }
  key = parsed.to_v6().to_bytes();
  // One client usually has a whole /64; an IPv4 address mapped into IPv6 stays whole.
  if (!parsed.to_v6().is_v4_mapped()) std::fill(key.begin() + 8, key.end(), 0);
  return key;
}

size_t FailureLimiter::KeyHash::operator()(const Key& key) const {
  return std::hash<std::string_view>()(
      std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
}

std::optional<Duration> FailureLimiter::Admit(const Key& key, Clock::time_point now) {
  if (tracked_.load(std::memory_order_relaxed) == 0) return Duration(0);
  Shard& shard = ShardOf(key);
  const std::lock_guard lock(shard.mutex);
  const auto found = shard.entries.find(key);
  if (found == shard.entries.end()) return Duration(0);
  Entry& entry = found->second;
  if (now - entry.lastFailure >= limits_.failureWindow) {
    shard.entries.erase(found);
    tracked_.fetch_sub(1, std::memory_order_relaxed);
    return Duration(0);
  }
  if (entry.failures < limits_.failuresBeforeDelay) return Duration(0);
  const Clock::time_point check = std::max(now, entry.nextCheck) + limits_.failureDelay;
  const Duration wait = std::chrono::duration_cast<Duration>(check - now);
  if (wait > limits_.failureDelay * kMaxWaiting) return std::nullopt;
  entry.nextCheck = check;
  return wait;
}

void FailureLimiter::RecordFailure(const Key& key, Clock::time_point now) {
  Shard& shard = ShardOf(key);
  const std::lock_guard lock(shard.mutex);
  auto found = shard.entries.find(key);
  if (found == shard.entries.end()) {
    if (shard.entries.size() >= shardCapacity_) {
      size_t dropped = std::erase_if(shard.entries, [&](const auto& item) {
        return now - item.second.lastFailure >= limits_.failureWindow;
      });
      if (shard.entries.size() >= shardCapacity_) {
        shard.entries.erase(std::min_element(
            shard.entries.begin(), shard.entries.end(), [](const auto& a, const auto& b) {
              return a.second.lastFailure < b.second.lastFailure;
            }));
        ++dropped;
      }
      tracked_.fetch_sub(dropped, std::memory_order_relaxed);
    }
    found = shard.entries.emplace(key, Entry{}).first;
    tracked_.fetch_add(1, std::memory_order_relaxed);
  } else if (now - found->second.lastFailure >= limits_.failureWindow) {
    found->second = Entry{};
  }
  found->second.failures++;
  found->second.lastFailure = now;
}

Authenticator::Authenticator(std::optional<UsersFile> users,
                             std::vector<std::string> anonymousPrefixes, std::string realm,
                             const AuthLimits& limits)
    : users_(std::move(users)),
      anonymousPrefixes_(std::move(anonymousPrefixes)),
      realm_(std::move(realm)),
      failures_(std::make_unique<FailureLimiter>(limits)),
      cryptPool_(std::make_unique<asio::thread_pool>(std::max(1u, limits.cryptThreads))) {}

Authenticator::~Authenticator() { cryptPool_->join(); }

bool Authenticator::IsAnonymousPath(std::string_view path) const {
  for (const std::string& prefix : anonymousPrefixes_) {
    if (path.substr(0, prefix.size()) == prefix) return true;
  }
  return false;
}

AuthResult Authenticator::Verify(const BasicCredentials& credentials) const {
  AuthResult result;
  if (!users_) return result;
  // "DOMAIN\user" is accepted when the domain is the user's own.
  std::string user = credentials.user;
  std::string domain;
  if (const size_t slash = user.find('\\'); slash != std::string::npos) {
    domain = user.substr(0, slash);
    user = user.substr(slash + 1);
  }
  std::optional<platform::TokenIdentity> identity =
      users_->Authenticate(user, credentials.password);
  if (!identity || (!domain.empty() && !EqualsIgnoreCase(domain, identity->domain))) return result;
  result.kind = AuthResult::Kind::kAuthenticated;
  result.identity = std::move(*identity);
  return result;
}

AuthResult Authenticator::Check(std::string_view decodedPath,
                                std::string_view authorization) const {
  if (IsAnonymousPath(decodedPath)) return AuthResult{AuthResult::Kind::kAnonymous, {}};
  const std::optional<BasicCredentials> credentials = ParseBasicCredentials(authorization);
  return credentials ? Verify(*credentials) : AuthResult{};
}

Task<AuthResult> Authenticator::Authenticate(std::string_view decodedPath,
                                             std::string_view authorization,
                                             std::string_view remoteAddress) const {
  if (IsAnonymousPath(decodedPath)) co_return AuthResult{AuthResult::Kind::kAnonymous, {}};
  std::optional<BasicCredentials> credentials = ParseBasicCredentials(authorization);
  // Without credentials (the usual first request) or users there is nothing to check or count.
  if (!credentials || !users_) co_return AuthResult{};
  const FailureLimiter::Key key = FailureLimiter::KeyOf(remoteAddress);
  const std::optional<Duration> wait = failures_->Admit(key, FailureLimiter::Clock::now());
  if (!wait) co_return AuthResult{AuthResult::Kind::kThrottled, {}};
  if (wait->count() > 0) {
    asio::steady_timer timer(co_await asio::this_coro::executor, *wait);
    error_code ec;
    co_await timer.async_wait(Capture(ec));
  }
  AuthResult result = co_await asio::co_spawn(
      cryptPool_->get_executor(),
      [this, &credentials]() -> Task<AuthResult> { co_return Verify(*credentials); },
      asio::use_awaitable);
  if (result.kind == AuthResult::Kind::kDenied) {
    failures_->RecordFailure(key, FailureLimiter::Clock::now());
  }
  co_return result;
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
