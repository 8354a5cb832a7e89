// The cache component: instances of IZQCache over the process's cache registry, and the
// factory export that creates them. Every entry point checks its arguments and turns any
// exception into a failure result: nothing thrown here reaches the caller.
#include <string>
#include <string_view>
#include <type_traits>

#include "cache_interface.h"
#include "cache_registry.h"
#include "platform/error_codes.h"

namespace nexoral::cache {
namespace {

bool IsNameValid(std::string_view name) {
  return !name.empty() && name.size() <= kCacheMaxNameBytes;
}
bool IsKeyValid(std::string_view key) { return !key.empty() && key.size() <= kCacheMaxKeyBytes; }
bool IsSessionValid(std::string_view session) { return session.size() <= kCacheMaxSessionBytes; }

class CacheComponent final : public platform::RefCounted<IZQCache> {
 public:
  explicit CacheComponent(CacheRegistry& registry) : registry_(registry) {}

  HRESULT Initialize() override {
    return platform::CallGuarded([&] { return registry_.Start(); });
  }

  HRESULT CreateCache(std::string_view name, int32_t maxItems, int32_t lifetimeMinutes) override {
    if (!IsNameValid(name) || maxItems < 1 || maxItems > kCacheMaxItems || lifetimeMinutes < 1 ||
        lifetimeMinutes > kCacheMaxLifetimeMinutes) {
      return kEInvalidArg;
    }
    return platform::CallGuarded([&] {
      return registry_.Create(name, static_cast<size_t>(maxItems),
                              std::chrono::minutes(lifetimeMinutes));
    });
  }

  HRESULT DestroyCache(std::string_view name) override {
    if (!IsNameValid(name)) return kEInvalidArg;
    return platform::CallGuarded([&] { return registry_.Destroy(name); });
  }

  HRESULT AddItem(std::string_view key, std::string_view session, std::string_view data,
                  std::string_view cacheName) override {
    if (!IsKeyValid(key) || !IsSessionValid(session) || data.size() > kCacheMaxDataBytes ||
        !IsNameValid(cacheName)) {
      return kEInvalidArg;
    }
    return platform::CallGuarded([&] {
      HRESULT failure = kSOk;
      ItemCache* cache = registry_.Find(cacheName, &failure);
      if (cache == nullptr) return failure;
      cache->Add(key, data);
      return kSOk;
    });
  }

  HRESULT GetItem(std::string_view key, std::string_view session, std::string* data,
                  std::string_view cacheName) override {
    if (data == nullptr) return E_POINTER;
    data->clear();
    if (!IsKeyValid(key) || !IsSessionValid(session) || !IsNameValid(cacheName)) {
      return kEInvalidArg;
    }
    return platform::CallGuarded([&] {
      HRESULT failure = kSOk;
      ItemCache* cache = registry_.Find(cacheName, &failure);
      if (cache == nullptr) return failure;
      std::optional<std::string> found = cache->Get(key);
      if (!found) return kSFalse;
      *data = std::move(*found);
      return kSOk;
    });
  }

  HRESULT InvalidateItem(std::string_view key, std::string_view cacheName) override {
    if (!IsKeyValid(key) || !IsNameValid(cacheName)) return kEInvalidArg;
    return platform::CallGuarded([&] {
      HRESULT failure = kSOk;
      ItemCache* cache = registry_.Find(cacheName, &failure);
      if (cache == nullptr) return failure;
      return cache->Invalidate(key) ? kSOk : kSFalse;
    });
  }

  HRESULT ClearCache(std::string_view cacheName) override {
    if (!IsNameValid(cacheName)) return kEInvalidArg;
    return platform::CallGuarded([&] {
      HRESULT failure = kSOk;
      ItemCache* cache = registry_.Find(cacheName, &failure);
      if (cache == nullptr) return failure;
      cache->Clear();
      return kSOk;
    });
  }

  HRESULT Shutdown() override {
    return platform::CallGuarded([&] { return registry_.Stop(); });
  }

 private:
  CacheRegistry& registry_;
};

}  // namespace
}  // namespace nexoral::cache

extern "C" HRESULT CreateComponentInstance(const char* interfaceId, void** instance) {
  using namespace nexoral;
  return platform::CreateInstanceOf<IZQCache, cache::CacheComponent>(
      interfaceId, instance, cache::ProcessCacheRegistry());
}

static_assert(std::is_same_v<decltype(&CreateComponentInstance),
                             nexoral::platform::ComponentFactoryFunction>);
