// The one place that chooses the back end of the store.
#include "property_store.h"

#include "mailbox_store.h"
#include "postgres_store.h"
#include "store_location.h"

namespace nexoral::mailbox {

std::unique_ptr<PropertyStore> OpenPropertyStore(StoreError* error) {
  PostgresSettings settings = PostgresSettingsFromEnvironment();
  if (IsPostgresLocation(settings.uri)) return std::make_unique<PostgresStore>(std::move(settings));
  return MailboxStore::Open(settings.uri, settings.limit, error);
}

}  // namespace nexoral::mailbox
