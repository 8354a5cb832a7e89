// The process's named caches and the per-thread snapshots of their name table.
#include "cache_registry.h"

#include "cache_interface.h"
#include "platform/error_codes.h"

namespace nexoral::cache {
namespace {

// Generations come from one counter so that a thread's snapshot of a registry that is gone can
// never pass for one of a new registry at the same address.
std::atomic<uint64_t> nextGeneration{1};

uint64_t NewGeneration() { return nextGeneration.fetch_add(1, std::memory_order_relaxed); }

// The snapshot this thread last took, kept alive by holder.
struct ThreadView {
  const void* registry = nullptr;
  uint64_t generation = 0;
  std::shared_ptr<const void> holder;
  const void* snapshot = nullptr;
};

thread_local ThreadView threadView;

}  // namespace

CacheRegistry::CacheRegistry(const CacheClock& clock)
    : clock_(clock), current_(std::make_shared<const Snapshot>()), generation_(NewGeneration()) {}

HRESULT CacheRegistry::Start() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (starts_++ > 0) return kSFalse;
  auto next = std::make_shared<Snapshot>(*current_);
  next->started = true;
  Publish(std::move(next));
  return kSOk;
}

HRESULT CacheRegistry::Stop() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (starts_ == 0) return kCacheENotInitialized;
  if (--starts_ > 0) return kSOk;
  // Threads may still hold the old snapshot for a moment: empty its caches now.
  for (const auto& [name, cache] : current_->caches) cache->Clear();
  Publish(std::make_shared<const Snapshot>());
  return kSOk;
}

HRESULT CacheRegistry::Create(std::string_view name, size_t maxItems,
                              std::chrono::minutes lifetime) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!current_->started) return kCacheENotInitialized;
  if (current_->caches.find(name) != current_->caches.end()) return kSFalse;
  auto next = std::make_shared<Snapshot>(*current_);
  next->caches.emplace(std::string(name), std::make_shared<ItemCache>(maxItems, lifetime, clock_));
  Publish(std::move(next));
  return kSOk;
}

HRESULT CacheRegistry::Destroy(std::string_view name) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!current_->started) return kCacheENotInitialized;
  auto found = current_->caches.find(name);
  if (found == current_->caches.end()) return kCacheEUnknownCache;
  found->second->Clear();
  auto next = std::make_shared<Snapshot>(*current_);
  next->caches.erase(next->caches.find(name));
  Publish(std::move(next));
  return kSOk;
}

ItemCache* CacheRegistry::Find(std::string_view name, HRESULT* failure) const {
  const Snapshot* snapshot = ThreadSnapshot();
  if (!snapshot->started) {
    *failure = kCacheENotInitialized;
    return nullptr;
  }
  auto found = snapshot->caches.find(name);
  if (found == snapshot->caches.end()) {
    *failure = kCacheEUnknownCache;
    return nullptr;
  }
  return found->second.get();
}

void CacheRegistry::Publish(std::shared_ptr<const Snapshot> next) {
  current_ = std::move(next);
  generation_.store(NewGeneration(), std::memory_order_release);
}

const CacheRegistry::Snapshot* CacheRegistry::ThreadSnapshot() const {
  const uint64_t generation = generation_.load(std::memory_order_acquire);
  if (threadView.registry != this || threadView.generation != generation) {
    std::lock_guard<std::mutex> guard(mutex_);
    threadView.registry = this;
    threadView.generation = generation_.load(std::memory_order_relaxed);
    threadView.holder = current_;
    threadView.snapshot = current_.get();
  }
  return static_cast<const Snapshot*>(threadView.snapshot);
}

CacheRegistry& ProcessCacheRegistry() {
  static CacheRegistry registry(SteadyCacheClock());
  return registry;
}

}  // namespace nexoral::cache
