// CacheRegistry: the named caches of a process and whether they are started. Finding a cache,
// the operation every item call makes, takes no lock: each thread keeps a snapshot of the
// name table and renews it only when a cache was created or destroyed or the caches were
// started or stopped since. Changes are serialised by the registry's mutex. Thread-safe.
#ifndef NEXORAL_COMPONENTS_CACHE_CACHE_REGISTRY_H
#define NEXORAL_COMPONENTS_CACHE_CACHE_REGISTRY_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "cache_clock.h"
#include "item_cache.h"
#include "nexoral/win_types.h"

namespace nexoral::cache {

class CacheRegistry {
 public:
  // clock must outlive the registry.
  explicit CacheRegistry(const CacheClock& clock);
  CacheRegistry(const CacheRegistry&) = delete;
  CacheRegistry& operator=(const CacheRegistry&) = delete;

  // Counts one start; S_FALSE when already started.
  HRESULT Start();
  // Counts one stop; the last drops every cache. kCacheENotInitialized when not started.
  HRESULT Stop();
  // The arguments are checked by the caller.
  HRESULT Create(std::string_view name, size_t maxItems, std::chrono::minutes lifetime);
  HRESULT Destroy(std::string_view name);
  // The named cache, or null with the reason in *failure. The cache stays valid for the
  // calling thread until its next Find: no reference count is touched on this path.
  ItemCache* Find(std::string_view name, HRESULT* failure) const;

 private:
  struct Snapshot {
    bool started = false;
    std::map<std::string, std::shared_ptr<ItemCache>, std::less<>> caches;
  };

  // Replaces the published snapshot; the caller holds mutex_.
  void Publish(std::shared_ptr<const Snapshot> next);
  const Snapshot* ThreadSnapshot() const;

  const CacheClock& clock_;
  mutable std::mutex mutex_;
  uint32_t starts_ = 0;                      // guarded by mutex_
  std::shared_ptr<const Snapshot> current_;  // guarded by mutex_
  std::atomic<uint64_t> generation_;         // unique across every registry of the process
};

// The registry of the component: one per process, on the steady clock.
CacheRegistry& ProcessCacheRegistry();

}  // namespace nexoral::cache

#endif  // NEXORAL_COMPONENTS_CACHE_CACHE_REGISTRY_H
