// The SQLite store of mailbox property values.
#include "mailbox_store.h"

#include <sqlite3.h>

#include <thread>

#include "exchange_access_interface.h"
#include "platform/file_system.h"

namespace nexoral::mailbox {
namespace {

constexpr char kCreateTables[] =
    "CREATE TABLE IF NOT EXISTS property_values ("
    " mailbox TEXT NOT NULL,"
    " property_set TEXT NOT NULL,"
    " property_id INTEGER NOT NULL,"
    " property_type INTEGER NOT NULL,"
    " value TEXT NOT NULL,"
    " PRIMARY KEY (mailbox, property_set, property_id, property_type)) WITHOUT ROWID";
constexpr char kSelectValue[] =
    "SELECT value FROM property_values"
    " WHERE mailbox = ?1 AND property_set = ?2 AND property_id = ?3 AND property_type = ?4";
constexpr char kUpsertValue[] =
    "INSERT INTO property_values (mailbox, property_set, property_id, property_type, value)"
    " VALUES (?1, ?2, ?3, ?4, ?5)"
    " ON CONFLICT (mailbox, property_set, property_id, property_type)"
    " DO UPDATE SET value = excluded.value";

// A prepared statement, finalised when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : code_(sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr)) {}
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  int PrepareCode() const { return code_; }
  void BindText(int index, const std::string& text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void BindInt(int index, int32_t value) { sqlite3_bind_int(stmt_, index, value); }
  void BindKey(const std::string& mailbox, const PropertyKey& key) {
    BindText(1, mailbox);
    BindText(2, key.propertySet);
    BindInt(3, key.id);
    BindInt(4, key.type);
  }
  int Step() { return sqlite3_step(stmt_); }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  std::string ColumnText(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return text != nullptr ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
                           : std::string();
  }
  int ColumnInt(int column) const { return sqlite3_column_int(stmt_, column); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int code_;
};

// Rolls back the open transaction unless it was committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {}
  ~Transaction() {
    if (!committed_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  int Commit() {
    const int code = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    committed_ = code == SQLITE_OK;
    return code;
  }

 private:
  sqlite3* db_;
  bool committed_ = false;
};

}  // namespace

std::unique_ptr<MailboxStore> MailboxStore::Open(const std::string& path,
                                                 std::chrono::milliseconds busyTimeout,
                                                 StoreError* error) {
  const std::string folder = platform::ParentFolder(path);
  if (!folder.empty() && !platform::CreateFolders(folder)) {
    *error = {SQLITE_CANTOPEN, "cannot create the folder of the mailbox store " + path};
    return nullptr;
  }
  sqlite3* db = nullptr;
  const int code = sqlite3_open_v2(path.c_str(), &db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
  std::unique_ptr<MailboxStore> store(new MailboxStore(db, path, busyTimeout));
  if (code != SQLITE_OK) {
    *error = store->Failure(code);
    return nullptr;
  }
  // Processes meeting a new file at once can be refused without any wait: each holds the read
  // lock that the other's switch to write-ahead logging must see released. Preparing is tried
  // again until the busy timeout has passed.
  const auto deadline = std::chrono::steady_clock::now() + busyTimeout;
  while (!store->Prepare(error)) {
    if ((error->number & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline) {
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return store;
}

MailboxStore::~MailboxStore() { sqlite3_close_v2(db_); }

bool MailboxStore::Prepare(StoreError* error) {
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, static_cast<int>(busyTimeout_.count()));
  // Reading the format first fails on a file that is not a database, before anything is
  // written to it.
  Statement version(db_, "PRAGMA user_version");
  if (version.PrepareCode() != SQLITE_OK) {
    *error = Failure(version.PrepareCode());
    return false;
  }
  const int step = version.Step();
  if (step != SQLITE_ROW) {
    *error = Failure(step);
    return false;
  }
  const int format = version.ColumnInt(0);
  if (format > kStoreFormatVersion) {
    *error = {kAccessErrorStoreFormat, "the mailbox store " + path_ + " has format " +
                                           std::to_string(format) + ", newer than this component's " +
                                           std::to_string(kStoreFormatVersion)};
    return false;
  }
  version.Reset();
  return Execute("PRAGMA journal_mode = WAL", error) &&
         Execute("PRAGMA synchronous = NORMAL", error) &&
         (format == kStoreFormatVersion || PrepareTables(error));
}

bool MailboxStore::PrepareTables(StoreError* error) {
  // Several processes may meet a new file at once: the first writer makes the tables.
  if (!Execute("BEGIN IMMEDIATE", error)) return false;
  Transaction transaction(db_);
  if (!Execute(kCreateTables, error) || !Execute("PRAGMA user_version = 1", error)) return false;
  const int code = transaction.Commit();
  if (code != SQLITE_OK) *error = Failure(code);
  return code == SQLITE_OK;
}

bool MailboxStore::Read(const std::string& mailbox, const std::vector<PropertyKey>& keys,
                        std::vector<std::optional<std::string>>* values, StoreError* error) {
  values->clear();
  if (!Execute("BEGIN", error)) return false;
  Transaction transaction(db_);
  Statement select(db_, kSelectValue);
  if (select.PrepareCode() != SQLITE_OK) {
    *error = Failure(select.PrepareCode());
    return false;
  }
  for (const PropertyKey& key : keys) {
    select.BindKey(mailbox, key);
    const int step = select.Step();
    if (step != SQLITE_ROW && step != SQLITE_DONE) {
      *error = Failure(step);
      return false;
    }
    values->push_back(step == SQLITE_ROW ? std::optional<std::string>(select.ColumnText(0))
                                         : std::nullopt);
    select.Reset();
  }
  const int code = transaction.Commit();
  if (code != SQLITE_OK) *error = Failure(code);
  return code == SQLITE_OK;
}

bool MailboxStore::Write(const std::string& mailbox, const std::vector<PropertyWrite>& writes,
                         StoreError* error) {
  if (!Execute("BEGIN IMMEDIATE", error)) return false;
  Transaction transaction(db_);
  Statement upsert(db_, kUpsertValue);
  if (upsert.PrepareCode() != SQLITE_OK) {
    *error = Failure(upsert.PrepareCode());
    return false;
  }
  for (const PropertyWrite& write : writes) {
    upsert.BindKey(mailbox, write.key);
    upsert.BindText(5, write.value);
    const int step = upsert.Step();
    if (step != SQLITE_DONE) {
      *error = Failure(step);
      return false;
    }
    upsert.Reset();
  }
  const int code = transaction.Commit();
  if (code != SQLITE_OK) *error = Failure(code);
  return code == SQLITE_OK;
}

bool MailboxStore::Execute(const char* sql, StoreError* error) {
  const int code = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) *error = Failure(code);
  return code == SQLITE_OK;
}

StoreError MailboxStore::Failure(int code) const {
  const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
  switch (code & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return {code, "the mailbox store " + path_ + " is locked by another process (waited " +
                        std::to_string(busyTimeout_.count()) + " ms): " + reason};
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return {code, "the mailbox store " + path_ + " is not a store or is damaged: " + reason};
    case SQLITE_CANTOPEN:
      return {code, "cannot open the mailbox store " + path_ + ": " + reason};
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return {code, "the mailbox store " + path_ + " cannot be written: " + reason};
    default:
      return {code, "the mailbox store " + path_ + " failed: " + reason};
  }
}

}  // namespace nexoral::mailbox
