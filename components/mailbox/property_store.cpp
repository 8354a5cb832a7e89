// The one place that chooses the back end of the store.
#include "property_store.h"

#include "mailbox_store.h"
#include "postgres_store.h"
#include "store_location.h"

namespace nexoral::mailbox {

std::unique_ptr<PropertyStore> OpenPropertyStore(StoreError* error) {
  std::string location = StorePath();
  if (IsPostgresLocation(location)) {
    return std::make_unique<PostgresStore>(PostgresSettings{std::move(location), StorePasswordFile(), StoreBusyTimeout()});
  }
  return MailboxStore::Open(location, StoreBusyTimeout(), error);
}

}  // namespace nexoral::mailbox
