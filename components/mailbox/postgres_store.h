// PostgresStore: the property values of every mailbox in a PostgreSQL database that several
// front ends share, with the same semantics as the SQLite store: a mailbox's values are written
// at once (one statement, its rows locked in one order, so that of two writers of the same keys
// one wins for all of them) and read from one snapshot.
//
// Each thread keeps one connection of its own, made by its first call and kept while it works;
// no lock is shared between request threads. Every call ends within the time limit, connecting
// included. A connection that broke since its last call (the server restarted) is made again
// once within the same call. After a failed connection, calls fail at once for a moment
// (kRetryPause, at most the time limit), then one call at a time tries again, rather than each
// waiting on a database that is down.
//
// The tables are made, or brought to kPostgresSchemaVersion, by the first connection of a
// process, under a lock of the database's own; a database of a later version is left alone.
// A write tells the other front ends through NOTIFY on kChangeChannel once it is committed, in a
// statement of its own (see kAnnounce).
#ifndef NEXORAL_COMPONENTS_MAILBOX_POSTGRES_STORE_H
#define NEXORAL_COMPONENTS_MAILBOX_POSTGRES_STORE_H

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "postgres_connection.h"
#include "property_store.h"

namespace nexoral::mailbox {

// 1: the values as text. 2: the values byte for byte, with the time each was stored.
inline constexpr int kPostgresSchemaVersion = 2;
inline constexpr char kChangeChannel[] = "nexoral_property_changes";
inline constexpr std::chrono::milliseconds kRetryPause{1000};

struct PostgresSettings {
  std::string uri;
  std::string passwordFile;
  std::chrono::milliseconds limit{0};
  bool operator==(const PostgresSettings&) const = default;
};

// The settings the environment gives (store_location.h); uri is whatever the store variable
// holds, a PostgreSQL URI or not.
PostgresSettings PostgresSettingsFromEnvironment();

// The password: the file's first line; empty without a file. False with
// kAccessErrorStoreSettings when it cannot be read or group or others may read it.
bool ReadPasswordFile(const std::string& path, std::string* password, StoreError* error);

// A connection with the settings' password, by the deadline.
std::unique_ptr<PgConnection> ConnectWith(const PostgresSettings& settings, Clock::time_point deadline,
                                          StoreError* error);

// Makes the tables, or brings them to kPostgresSchemaVersion; kAccessErrorStoreFormat for a
// later version.
bool PrepareSchema(PgConnection& connection, Clock::time_point deadline, StoreError* error);

// A change note's payload: who it is for ("*" everyone, else the writing process's mark, which
// that process skips) and the mailbox.
std::string ChangePayload(ChangeAudience audience, std::string_view mailbox);
// The mailbox of a note this process must hear; nothing for its own notes and unreadable ones.
std::optional<std::string_view> ChangedMailbox(std::string_view payload);

class PostgresStore final : public PropertyStore {
 public:
  explicit PostgresStore(PostgresSettings settings) : settings_(std::move(settings)) {}

  bool Read(const std::string& mailbox, const std::vector<PropertyKey>& keys,
            std::vector<std::optional<std::string>>* values, StoreError* error) override;
  bool Write(const std::string& mailbox, const std::vector<PropertyWrite>& writes,
             ChangeAudience audience, StoreError* error) override;
  bool Announce(const std::string& mailbox, StoreError* error) override;

 private:
  // The end of a call that starts now.
  Clock::time_point Deadline() const { return Clock::now() + settings_.limit; }
  // Runs the statement on this thread's connection (made first when needed) by the deadline.
  PgResult Run(const char* sql, const std::vector<PgParameter>& parameters, Clock::time_point deadline,
               StoreError* error);
  bool Connect(Clock::time_point deadline, StoreError* error);
  bool Notify(ChangeAudience audience, const std::string& mailbox, Clock::time_point deadline,
              StoreError* error);

  PostgresSettings settings_;
};

}  // namespace nexoral::mailbox

#endif  // NEXORAL_COMPONENTS_MAILBOX_POSTGRES_STORE_H
