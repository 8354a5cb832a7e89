// The store's location, password file and time limit from the environment.
#include "store_location.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace nexoral::mailbox {

std::string StorePath() {
  const char* configured = std::getenv(kStorePathVariable);
  return configured != nullptr && configured[0] != '\0' ? configured : kDefaultStorePath;
}

std::string StorePasswordFile() {
  const char* configured = std::getenv(kStorePasswordFileVariable);
  return configured != nullptr ? configured : "";
}

bool IsPostgresLocation(std::string_view location) {
  return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

std::chrono::milliseconds StoreBusyTimeout() {
  const char* configured = std::getenv(kStoreTimeoutVariable);
  if (configured == nullptr) return kDefaultBusyTimeout;
  const char* end = configured + std::strlen(configured);
  long long milliseconds = -1;
  const auto [stop, error] = std::from_chars(configured, end, milliseconds);
  if (error != std::errc() || stop != end || milliseconds < 0 ||
      milliseconds > kMaxBusyTimeout.count()) {
    return kDefaultBusyTimeout;
  }
  return std::chrono::milliseconds(milliseconds);
}

}  // namespace nexoral::mailbox
