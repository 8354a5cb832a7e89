// PropertyStore: what the component asks of the store that keeps the property values of every
// mailbox, whichever back end keeps them (the SQLite file of one machine, or a PostgreSQL
// database that several front ends share), and the one place that opens the store the
// environment names (store_location.h).
#ifndef NEXORAL_COMPONENTS_MAILBOX_PROPERTY_STORE_H
#define NEXORAL_COMPONENTS_MAILBOX_PROPERTY_STORE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nexoral::mailbox {

// A failure: an error number (the back end's own code, or one of the component's) and a text
// that names the store and the reason. The text never holds a password.
struct StoreError {
  int32_t number = 0;
  std::string text;
};

struct PropertyKey {
  std::string propertySet;  // canonical GUID
  int32_t id = 0;
  int32_t type = 0;
};

struct PropertyWrite {
  PropertyKey key;
  std::string value;
};

// Who must hear of a change: every front end but the writer's own process (whose caller keeps
// its cache up to date itself), or every front end, the writer's own included.
enum class ChangeAudience { kOthers, kEveryone };

class PropertyStore {
 public:
  virtual ~PropertyStore() = default;
  // The mailbox's values of keys, in their order, from one consistent snapshot; nothing for a
  // key never stored.
  virtual bool Read(const std::string& mailbox, const std::vector<PropertyKey>& keys,
                    std::vector<std::optional<std::string>>* values, StoreError* error) = 0;
  // Stores every write at once: on any failure nothing is stored. When two writers store the
  // same keys at once, one of them wins for all of them. A store that front ends share tells
  // the audience that the mailbox changed, once the values are stored.
  virtual bool Write(const std::string& mailbox, const std::vector<PropertyWrite>& writes,
                     ChangeAudience audience, StoreError* error) = 0;
  // Tells the other front ends that the mailbox's values changed; nothing to do for a store of
  // one machine.
  virtual bool Announce(const std::string& mailbox, StoreError* error) = 0;
};

// The store the environment names. An SQLite file is opened (and made) here; a PostgreSQL
// database is reached by the first call. Null with *error when the store cannot be used.
std::unique_ptr<PropertyStore> OpenPropertyStore(StoreError* error);

}  // namespace nexoral::mailbox

#endif  // NEXORAL_COMPONENTS_MAILBOX_PROPERTY_STORE_H
