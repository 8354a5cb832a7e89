// Where the mailbox property store lives and how long a call waits for another process's
// write to finish. Both come from the environment of the process, read on each Initialize:
//   NEXORAL_MAILBOX_STORE             path of the SQLite file (default
//                                     /var/lib/nexoral/mailbox-properties.db); missing folders
//                                     are created.
//   NEXORAL_MAILBOX_STORE_TIMEOUT_MS  the wait in milliseconds, 0 to 600000 (default 5000); an
//                                     unreadable value gives the default.
#ifndef NEXORAL_COMPONENTS_MAILBOX_STORE_LOCATION_H
#define NEXORAL_COMPONENTS_MAILBOX_STORE_LOCATION_H

#include <chrono>
#include <string>

namespace nexoral::mailbox {

inline constexpr char kStorePathVariable[] = "NEXORAL_MAILBOX_STORE";
inline constexpr char kStoreTimeoutVariable[] = "NEXORAL_MAILBOX_STORE_TIMEOUT_MS";
inline constexpr char kDefaultStorePath[] = "/var/lib/nexoral/mailbox-properties.db";
inline constexpr std::chrono::milliseconds kDefaultBusyTimeout{5000};
inline constexpr std::chrono::milliseconds kMaxBusyTimeout{600000};

std::string StorePath();
std::chrono::milliseconds StoreBusyTimeout();

}  // namespace nexoral::mailbox

#endif  // NEXORAL_COMPONENTS_MAILBOX_STORE_LOCATION_H
