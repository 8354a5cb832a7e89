// The PostgreSQL store of mailbox property values.
#include "postgres_store.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <tuple>

#include "exchange_access_interface.h"
#include "store_location.h"

namespace nexoral::mailbox {
namespace {

// Each step brings the tables from the version before it; step n makes version n.
constexpr std::array<const char*, kPostgresSchemaVersion> kSchemaSteps = {
    "CREATE TABLE nexoral_store_schema (version integer NOT NULL);"
    "CREATE TABLE nexoral_property_values ("
    " mailbox text NOT NULL, property_set text NOT NULL, property_id integer NOT NULL,"
    " property_type integer NOT NULL, value text NOT NULL,"
    " PRIMARY KEY (mailbox, property_set, property_id, property_type))",
    "ALTER TABLE nexoral_property_values"
    " ALTER COLUMN value TYPE bytea USING convert_to(value, 'UTF8'),"
    " ADD COLUMN stored_at timestamptz NOT NULL DEFAULT now()",
};

constexpr char kSelectValues[] =
    "SELECT k.position, v.value"
    " FROM unnest($2::text[], $3::int4[], $4::int4[]) WITH ORDINALITY"
    "  AS k(property_set, property_id, property_type, position)"
    " JOIN nexoral_property_values v ON v.mailbox = $1 AND v.property_set = k.property_set"
    "  AND v.property_id = k.property_id AND v.property_type = k.property_type";
// One statement: its rows are locked in the order given (sorted by the caller).
constexpr char kStoreValues[] =
    "INSERT INTO nexoral_property_values"
    " (mailbox, property_set, property_id, property_type, value, stored_at)"
    " SELECT $1, w.property_set, w.property_id, w.property_type, w.value, now()"
    " FROM unnest($2::text[], $3::int4[], $4::int4[], $5::bytea[])"
    "  AS w(property_set, property_id, property_type, value)"
    " ON CONFLICT (mailbox, property_set, property_id, property_type)"
    " DO UPDATE SET value = excluded.value, stored_at = excluded.stored_at";
// The note goes in a transaction of its own, after the values are committed: the server lets
// notifying transactions commit one at a time, so a note must not hold up the values' commit,
// and its own commit need not wait for the disk (a note is never kept across a restart anyway).
constexpr char kAnnounce[] =
    "SELECT set_config('synchronous_commit', 'off', true), pg_notify('nexoral_property_changes', $1)";

// The connection of the calling thread and the settings it was made with.
struct ThreadSession {
  PostgresSettings settings;
  std::unique_ptr<PgConnection> connection;
};
ThreadSession& Session() {
  thread_local ThreadSession session;
  return session;
}

// The database a connection last failed to reach (by the hash of its URI) and until when calls
// to it fail at once (steady clock ticks; 0: it is reachable again). The two are read apart: at
// worst one call too many tries, or fails at once.
struct ConnectPause {
  std::atomic<size_t> uri{0};
  std::atomic<int64_t> until{0};
};
ConnectPause& Pause() {
  static ConnectPause pause;
  return pause;
}
int64_t Ticks(Clock::time_point time) { return time.time_since_epoch().count(); }

// This process's mark on its own change notes.
const std::string& ProcessMark() {
  static const std::string mark = [] {
    std::random_device device;
    char text[17];
    std::snprintf(text, sizeof text, "%08x%08x", device(), device());
    return std::string(text);
  }();
  return mark;
}

PgParameter Text(std::string_view text) { return {std::string(text), kOidText, false}; }

// The keys' three columns as binary arrays, parameters $2 to $4.
template <class Keys>
void AppendKeyArrays(const Keys& keys, std::vector<PgParameter>& parameters) {
  std::vector<std::string_view> sets;
  std::vector<int32_t> ids, types;
  for (const PropertyKey& key : keys) {
    sets.push_back(key.propertySet);
    ids.push_back(key.id);
    types.push_back(key.type);
  }
  parameters.push_back({BinaryBytesArray(kOidText, sets), kOidTextArray, true});
  parameters.push_back({BinaryInt4Array(ids), kOidInt4Array, true});
  parameters.push_back({BinaryInt4Array(types), kOidInt4Array, true});
}

}  // namespace

PostgresSettings PostgresSettingsFromEnvironment() {
  return {StorePath(), StorePasswordFile(), StoreBusyTimeout()};
}

bool ReadPasswordFile(const std::string& path, std::string* password, StoreError* error) {
  password->clear();
  if (path.empty()) return true;
  const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat status {};
  if (file < 0 || ::fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
    if (file >= 0) ::close(file);
    *error = {kAccessErrorStoreSettings, "cannot read the PostgreSQL password file " + path};
    return false;
  }
  if ((status.st_mode & 077) != 0) {
    ::close(file);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    *error = {kAccessErrorStoreSettings, "the PostgreSQL password file " + path + " may be read by others (mode " +
                                             mode + "): make it 0600"};
    return false;
  }
  char buffer[1024];
  const ssize_t length = ::read(file, buffer, sizeof buffer);
  ::close(file);
  if (length < 0) {
    *error = {kAccessErrorStoreSettings, "cannot read the PostgreSQL password file " + path};
    return false;
  }
  const std::string_view content(buffer, static_cast<size_t>(length));
  password->assign(content.substr(0, content.find_first_of("\r\n")));
  return true;
}

std::unique_ptr<PgConnection> ConnectWith(const PostgresSettings& settings, Clock::time_point deadline,
                                          StoreError* error) {
  std::string password;
  if (!ReadPasswordFile(settings.passwordFile, &password, error)) return nullptr;
  return PgConnection::Connect(settings.uri, password, settings.limit, deadline, error);
}

bool PrepareSchema(PgConnection& connection, Clock::time_point deadline, StoreError* error) {
  auto run = [&](const char* sql) { return connection.Execute(sql, {}, false, deadline, error); };
  // Front ends meeting a new database at once: the first one makes the tables, the others
  // wait for it and find them made.
  if (!run("BEGIN") || !run("SELECT pg_advisory_xact_lock(7301733021)")) return false;
  PgResult exists = run("SELECT to_regclass('nexoral_store_schema') IS NOT NULL");
  if (!exists || PQntuples(exists.get()) != 1) return false;
  int version = 0;
  if (PQgetvalue(exists.get(), 0, 0)[0] == 't') {
    PgResult found = run("SELECT coalesce(max(version), 0) FROM nexoral_store_schema");
    if (!found || PQntuples(found.get()) != 1) return false;
    version = std::atoi(PQgetvalue(found.get(), 0, 0));
  }
  if (version > kPostgresSchemaVersion) {
    run("ROLLBACK");
    *error = {kAccessErrorStoreFormat, "the PostgreSQL store " + connection.Description() + " has schema version " +
                                           std::to_string(version) + ", newer than this component's " +
                                           std::to_string(kPostgresSchemaVersion)};
    return false;
  }
  for (int step = version; step < kPostgresSchemaVersion; ++step) {
    if (!run(kSchemaSteps[static_cast<size_t>(step)])) return false;
  }
  if (version < kPostgresSchemaVersion) {
    const std::string record = "DELETE FROM nexoral_store_schema; INSERT INTO nexoral_store_schema VALUES (" +
                               std::to_string(kPostgresSchemaVersion) + ")";
    if (!run(record.c_str())) return false;
  }
  return run("COMMIT") != nullptr;
}

std::string ChangePayload(ChangeAudience audience, std::string_view mailbox) {
  return (audience == ChangeAudience::kEveryone ? std::string("*") : ProcessMark()) + " " + std::string(mailbox);
}

std::optional<std::string_view> ChangedMailbox(std::string_view payload) {
  const size_t space = payload.find(' ');
  if (space == std::string_view::npos || space + 1 == payload.size()) return std::nullopt;
  const std::string_view mark = payload.substr(0, space);
  if (mark == ProcessMark()) return std::nullopt;
  return payload.substr(space + 1);
}

bool PostgresStore::Connect(Clock::time_point deadline, StoreError* error) {
  ThreadSession& session = Session();
  session.connection.reset();
  std::string password;
  if (!ReadPasswordFile(settings_.passwordFile, &password, error)) return false;
  const size_t uri = std::hash<std::string>{}(settings_.uri);
  ConnectPause& pause = Pause();
  int64_t until = pause.until.load(std::memory_order_relaxed);
  // After a failure, calls fail at once until the pause is over; then one call at a time tries
  // the database, claiming the pause up to its own deadline, so that a database that does not
  // answer holds up one request at a time, not all of them.
  if (pause.uri.load(std::memory_order_relaxed) == uri && until != 0 &&
      (Ticks(Clock::now()) < until || !pause.until.compare_exchange_strong(until, Ticks(deadline)))) {
    *error = {kAccessErrorStoreUnavailable, "the PostgreSQL store " + DescribeLocation(settings_.uri) +
                                                " could not be reached a moment ago; the next attempt follows shortly"};
    return false;
  }
  std::unique_ptr<PgConnection> connection = PgConnection::Connect(settings_.uri, password, settings_.limit, deadline, error);
  if (connection == nullptr || !PrepareSchema(*connection, deadline, error)) {
    if (error->number == kAccessErrorStoreUnavailable) {
      pause.uri.store(uri, std::memory_order_relaxed);
      pause.until.store(Ticks(Clock::now() + std::min<Clock::duration>(kRetryPause, settings_.limit)),
                        std::memory_order_relaxed);
    }
    return false;
  }
  if (pause.uri.load(std::memory_order_relaxed) == uri) pause.until.store(0, std::memory_order_relaxed);
  session.settings = settings_;
  session.connection = std::move(connection);
  return true;
}

PgResult PostgresStore::Run(const char* sql, const std::vector<PgParameter>& parameters, Clock::time_point deadline,
                            StoreError* error) {
  ThreadSession& session = Session();
  const bool kept = session.connection != nullptr && session.connection->Usable() && session.settings == settings_;
  if (!kept && !Connect(deadline, error)) return nullptr;
  PgResult result = session.connection->Execute(sql, parameters, true, deadline, error);
  // A kept connection may have broken while it waited (a restarted server): once more on a new one.
  if (result == nullptr && kept && !session.connection->Usable() && Clock::now() < deadline &&
      Connect(deadline, error)) {
    result = session.connection->Execute(sql, parameters, true, deadline, error);
  }
  if (result == nullptr && session.connection != nullptr && !session.connection->Usable()) {
    session.connection.reset();
  }
  return result;
}

bool PostgresStore::Read(const std::string& mailbox, const std::vector<PropertyKey>& keys,
                         std::vector<std::optional<std::string>>* values, StoreError* error) {
  values->assign(keys.size(), std::nullopt);
  if (keys.empty()) return true;
  std::vector<PgParameter> parameters{Text(mailbox)};
  AppendKeyArrays(keys, parameters);
  PgResult rows = Run(kSelectValues, parameters, Deadline(), error);
  if (rows == nullptr) return false;
  for (int row = 0; row < PQntuples(rows.get()); ++row) {
    const int64_t position = ReadBigEndian(PQgetvalue(rows.get(), row, 0),
                                           static_cast<size_t>(PQgetlength(rows.get(), row, 0)));
    if (position < 1 || static_cast<uint64_t>(position) > keys.size()) continue;
    (*values)[static_cast<size_t>(position - 1)].emplace(PQgetvalue(rows.get(), row, 1),
                                                         static_cast<size_t>(PQgetlength(rows.get(), row, 1)));
  }
  return true;
}

bool PostgresStore::Write(const std::string& mailbox, const std::vector<PropertyWrite>& writes,
                          ChangeAudience audience, StoreError* error) {
  if (writes.empty()) return true;
  // In key order, a key given twice taking its last value: concurrent writers then lock the
  // rows in one order, and a statement never touches a row twice.
  std::map<std::tuple<std::string_view, int32_t, int32_t>, const PropertyWrite*> ordered;
  for (const PropertyWrite& write : writes) {
    ordered[{write.key.propertySet, write.key.id, write.key.type}] = &write;
  }
  std::vector<PropertyKey> keys;
  std::vector<std::string_view> values;
  for (const auto& [key, write] : ordered) {
    keys.push_back(write->key);
    values.push_back(write->value);
  }
  std::vector<PgParameter> parameters{Text(mailbox)};
  AppendKeyArrays(keys, parameters);
  parameters.push_back({BinaryBytesArray(kOidBytea, values), kOidByteaArray, true});
  const Clock::time_point deadline = Deadline();
  if (Run(kStoreValues, parameters, deadline, error) == nullptr) return false;
  // The values are stored whatever becomes of the note: a lost one costs the other front ends'
  // cache lifetime at most.
  StoreError noteError;
  Notify(audience, mailbox, deadline, &noteError);
  return true;
}

bool PostgresStore::Announce(const std::string& mailbox, StoreError* error) {
  return Notify(ChangeAudience::kOthers, mailbox, Deadline(), error);
}

bool PostgresStore::Notify(ChangeAudience audience, const std::string& mailbox, Clock::time_point deadline,
                           StoreError* error) {
  return Run(kAnnounce, {Text(ChangePayload(audience, mailbox))}, deadline, error) != nullptr;
}

}  // namespace nexoral::mailbox
