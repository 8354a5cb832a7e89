// MailboxStore: one connection to the SQLite file that keeps the property values of every
// mailbox. The file is in WAL mode, so readers never wait for a writer; a writer waits for
// another writer up to the busy timeout, in this process or any other. One thread at a time
// uses a connection; open one per caller.
#ifndef NEXORAL_COMPONENTS_MAILBOX_MAILBOX_STORE_H
#define NEXORAL_COMPONENTS_MAILBOX_MAILBOX_STORE_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "property_store.h"

struct sqlite3;

namespace nexoral::mailbox {

// The version of the file's tables; a file of a later version is left alone.
inline constexpr int kStoreFormatVersion = 1;

// Its failures carry SQLite's extended result code, or one of the component's own.
class MailboxStore final : public PropertyStore {
 public:
  // Opens the file at path, creating it and its folders when missing, and prepares its tables.
  // Null with *error when the folder or file cannot be made or opened, the file is not a store
  // (or is damaged), it is of a later format, or another process holds it past busyTimeout.
  // A file that is not a store is never changed.
  static std::unique_ptr<MailboxStore> Open(const std::string& path,
                                            std::chrono::milliseconds busyTimeout,
                                            StoreError* error);
  ~MailboxStore() override;
  MailboxStore(const MailboxStore&) = delete;
  MailboxStore& operator=(const MailboxStore&) = delete;

  bool Read(const std::string& mailbox, const std::vector<PropertyKey>& keys,
            std::vector<std::optional<std::string>>* values, StoreError* error) override;
  // Stores every write in one transaction; on any failure nothing is stored. Every process
  // on the machine reads the file itself: there is nobody to tell.
  bool Write(const std::string& mailbox, const std::vector<PropertyWrite>& writes,
             StoreError* error);
  bool Write(const std::string& mailbox, const std::vector<PropertyWrite>& writes,
             ChangeAudience /*audience*/, StoreError* error) override {
    return Write(mailbox, writes, error);
  }
  bool Announce(const std::string& /*mailbox*/, StoreError* /*error*/) override { return true; }

 private:
  MailboxStore(sqlite3* db, std::string path, std::chrono::milliseconds busyTimeout)
      : db_(db), path_(std::move(path)), busyTimeout_(busyTimeout) {}

  bool Prepare(StoreError* error);
  bool PrepareTables(StoreError* error);
  bool Execute(const char* sql, StoreError* error);
  StoreError Failure(int code) const;

  sqlite3* db_;
  std::string path_;
  std::chrono::milliseconds busyTimeout_;
};

}  // namespace nexoral::mailbox

#endif  // NEXORAL_COMPONENTS_MAILBOX_MAILBOX_STORE_H
