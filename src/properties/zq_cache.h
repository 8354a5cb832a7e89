// CZQCache: the client of the cache component "ZQCache". Each operation creates an instance of
// the component on the calling thread, makes its one call and releases it; the caches live in
// the component. Any thread may call; the client holds no lock. Failures are logged (and the
// serious ones reported to the event log) and come back as false or a failure HRESULT; no
// exception leaves an operation.
#ifndef NEXORAL_PROPERTIES_ZQ_CACHE_H
#define NEXORAL_PROPERTIES_ZQ_CACHE_H

#include <atomic>
#include <optional>
#include <string>

#include "nexoral/win_types.h"

namespace nexoral {

class IZQCache;

class CZQCache {
 public:
  // Starts the component's caches; true when the instance was made and its Initialize
  // succeeded. Every other operation fails until this succeeded.
  bool Init();
  // A cache of at most maxItems items, each a miss after lifetimeMinutes.
  bool CreateCache(const std::string& name, int32_t maxItems, int32_t lifetimeMinutes);
  bool DestroyCache(const std::string& name);
  // Stores data under key, replacing an earlier item of the key.
  bool AddItem(const std::string& cacheName, const std::string& key, const std::string& data,
               const std::string& session);
  // True when the component answered; *data holds the item, or nothing on a miss.
  bool GetItem(const std::string& cacheName, const std::string& key,
               std::optional<std::string>* data, const std::string& session);
  bool InvalidateItem(const std::string& cacheName, const std::string& key);
  // Drops every item of the cache.
  bool ClearCache(const std::string& cacheName);
  // The component's result. A successful shutdown ends this client's start: Init again
  // before further use.
  HRESULT Shutdown();

  bool IsInitialized() const { return initialized_.load(); }

 private:
  // What a failed item operation logs besides its own failure.
  struct ItemDetail {
    const std::string* key = nullptr;
    const std::string* data = nullptr;
    const std::string* session = nullptr;
    const std::string* cacheName = nullptr;
  };
  // How far a call got.
  enum class Stage { kApartment, kInstance, kCall, kException };
  template <class Call>
  HRESULT CallComponent(const char* operation, const ItemDetail* detail, Call&& call,
                        Stage* stage = nullptr);
  bool CheckInitialized(const char* operation) const;

  std::atomic<bool> initialized_{false};
};

}  // namespace nexoral

#endif  // NEXORAL_PROPERTIES_ZQ_CACHE_H
