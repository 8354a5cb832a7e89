// Which store keeps the mailbox property values, and how long a call may take. All of it comes
// from the environment of the process, read on each Initialize:
//   NEXORAL_MAILBOX_STORE               a value beginning with "postgresql://" or "postgres://"
//                                       is a libpq connection URI: the values are kept in that
//                                       PostgreSQL database, shared by every front end that
//                                       names it. Anything else is the path of the SQLite file
//                                       (default /var/lib/nexoral/mailbox-properties.db);
//                                       missing folders are created.
//   NEXORAL_MAILBOX_STORE_PASSWORD_FILE the file whose first line is the PostgreSQL password; it
//                                       must not be readable by group or others. The password
//                                       is never logged nor shown in an error text.
//   NEXORAL_MAILBOX_STORE_TIMEOUT_MS    the time limit in milliseconds, 0 to 600000 (default
//                                       5000): with SQLite how long a write waits for another
//                                       process's write, with PostgreSQL the limit of each
//                                       call, connecting included. An unreadable value gives
//                                       the default.
#ifndef NEXORAL_COMPONENTS_MAILBOX_STORE_LOCATION_H
#define NEXORAL_COMPONENTS_MAILBOX_STORE_LOCATION_H

#include <chrono>
#include <string>
#include <string_view>

namespace nexoral::mailbox {

inline constexpr char kStorePathVariable[] = "NEXORAL_MAILBOX_STORE";
inline constexpr char kStorePasswordFileVariable[] = "NEXORAL_MAILBOX_STORE_PASSWORD_FILE";
inline constexpr char kStoreTimeoutVariable[] = "NEXORAL_MAILBOX_STORE_TIMEOUT_MS";
inline constexpr char kDefaultStorePath[] = "/var/lib/nexoral/mailbox-properties.db";
inline constexpr std::chrono::milliseconds kDefaultBusyTimeout{5000};
inline constexpr std::chrono::milliseconds kMaxBusyTimeout{600000};

std::string StorePath();
std::chrono::milliseconds StoreBusyTimeout();
std::string StorePasswordFile();

// True when the store's location names a PostgreSQL database.
bool IsPostgresLocation(std::string_view location);

}  // namespace nexoral::mailbox

#endif  // NEXORAL_COMPONENTS_MAILBOX_STORE_LOCATION_H
