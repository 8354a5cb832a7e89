// IZQCache: the interface of the cache component "ZQCache", shared by the component and its
// client. Named caches of text items keyed by text, held in process-wide state: every instance
// of the component in a process sees the same caches. Any thread may call any operation.
//
// Results: S_OK on success; S_FALSE for a success that found nothing to do (a miss, an
// invalidated key that was not there, a cache that existed already, a repeated Initialize);
// the failures below or E_INVALIDARG / E_POINTER / E_OUTOFMEMORY.
//
// The session argument names the caller's session. It is checked like any text but takes no
// part in finding an item: an item is identified by its cache and key alone, so a value stored
// in one session is read in every other, and the latest store of a key wins.
#ifndef NEXORAL_COMPONENTS_CACHE_CACHE_INTERFACE_H
#define NEXORAL_COMPONENTS_CACHE_CACHE_INTERFACE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "nexoral/win_types.h"
#include "platform/component_factory.h"

namespace nexoral {

inline constexpr char kCacheComponentName[] = "ZQCache";

// Initialize has not been called, or every Initialize has been matched by a Shutdown.
inline constexpr HRESULT kCacheENotInitialized = static_cast<HRESULT>(0x80040200u);
// No cache of that name exists.
inline constexpr HRESULT kCacheEUnknownCache = static_cast<HRESULT>(0x80040201u);

// Bounds of the arguments; longer texts and counts outside them fail with E_INVALIDARG.
inline constexpr size_t kCacheMaxNameBytes = 256;
inline constexpr size_t kCacheMaxKeyBytes = 4096;
inline constexpr size_t kCacheMaxSessionBytes = 1024;
inline constexpr size_t kCacheMaxDataBytes = 1024 * 1024;
inline constexpr int32_t kCacheMaxItems = 10000000;
inline constexpr int32_t kCacheMaxLifetimeMinutes = 527040;  // one leap year

class IZQCache : public platform::IComponentUnknown {
 public:
  static constexpr char kInterfaceId[] = "IZQCache";

  // Starts the caches of the process; each call needs its own Shutdown. S_FALSE when they
  // were started already.
  virtual HRESULT Initialize() = 0;
  // A new, empty cache holding at most maxItems items (the least recently used goes first)
  // for lifetimeMinutes each (an older item is a miss). S_FALSE, with the existing cache and
  // its limits kept, when the name is taken. Names are compared exactly.
  virtual HRESULT CreateCache(std::string_view name, int32_t maxItems,
                              int32_t lifetimeMinutes) = 0;
  // Drops the cache and its items.
  virtual HRESULT DestroyCache(std::string_view name) = 0;
  // Stores data under key, replacing an earlier item of the key; its age starts now.
  virtual HRESULT AddItem(std::string_view key, std::string_view session, std::string_view data,
                          std::string_view cacheName) = 0;
  // S_OK with the item's data in *data, or S_FALSE with *data cleared when the key has no
  // item or its item is older than the cache's lifetime. A hit makes the item the most
  // recently used.
  virtual HRESULT GetItem(std::string_view key, std::string_view session, std::string* data,
                          std::string_view cacheName) = 0;
  // Drops the key's item; S_FALSE when there was none.
  virtual HRESULT InvalidateItem(std::string_view key, std::string_view cacheName) = 0;
  // Drops every item of the cache; the cache and its limits stay.
  virtual HRESULT ClearCache(std::string_view cacheName) = 0;
  // Matches one Initialize; the last one drops every cache.
  virtual HRESULT Shutdown() = 0;
};

}  // namespace nexoral

#endif  // NEXORAL_COMPONENTS_CACHE_CACHE_INTERFACE_H
