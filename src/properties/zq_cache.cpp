// The cache client: one component instance per call, with the texts administrators know.
#include "properties/zq_cache.h"

#include "cache/cache_interface.h"
#include "diagnostics/event_log.h"
#include "diagnostics/log.h"
#include "platform/com_errors.h"
#include "platform/component_factory.h"
#include "platform/error_codes.h"

namespace nexoral {
namespace {

unsigned Hex(HRESULT hr) { return static_cast<unsigned>(hr); }

const char* Text(const std::string* text) { return text != nullptr ? text->c_str() : ""; }

// Joins the thread to the multithreaded apartment; a thread in the other kind stays there.
HRESULT JoinApartment() {
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  return hr == RPC_E_CHANGED_MODE ? kSOk : hr;
}

}  // namespace

bool CZQCache::CheckInitialized(const char* operation) const {
  if (initialized_.load()) return true;
  Log("%s ZQCache is not initialized", operation);
  return false;
}

// Creates the instance, makes the call and releases the instance. Logs every failure under
// the operation's name; the item detail line follows any failure of an item operation.
template <class Call>
HRESULT CZQCache::CallComponent(const char* operation, const ItemDetail* detail, Call&& call,
                                Stage* stage) {
  HRESULT hr = kSOk;
  Stage reached = Stage::kApartment;
  try {
    hr = JoinApartment();
    if (Succeeded(hr)) reached = Stage::kInstance;
    if (Failed(hr)) {
      Log("[CZQCache::%s() ] COM initialization COINIT_MULTITHREADED failed hr: 0X%x", operation,
          Hex(hr));
    } else {
      platform::ComPtr<IZQCache> cache;
      hr = CreateComponentInstance(kCacheComponentName, &cache);
      if (Failed(hr)) {
        Log("[CZQCache::%s() ] COM initialization failed hr: 0X%x", operation, Hex(hr));
      } else {
        reached = Stage::kCall;
        hr = call(*cache);
        if (Failed(hr)) Log("%s failed HR 0x%x", operation, Hex(hr));
      }
    }
  } catch (const _com_error& error) {
    reached = Stage::kException;
    hr = error.Error();
    const std::string message = error.ErrorMessage();
    Log("%s got EXCEPTION HR 0x%x %s", operation, Hex(hr), message.c_str());
    ReportText(kReportError, "Cache component  %s failed COM Exception with 0x%x %s", operation,
               Hex(hr), message.c_str());
  } catch (...) {
    reached = Stage::kException;
    hr = kEUnexpected;
    Log("%s cache component got GENERAL EXCEPTION", operation);
    ReportText(kReportError, "%s Cache component failed GE", operation);
  }
  if (Failed(hr) && detail != nullptr) {
    Log("[CZQCache::%s() ]  failed Key %s Data %s Session %s PropName %s hr: 0X%x", operation,
        Text(detail->key), Text(detail->data), Text(detail->session), Text(detail->cacheName),
        Hex(hr));
  }
  if (stage != nullptr) *stage = reached;
  return hr;
}

bool CZQCache::Init() {
  Stage stage = Stage::kApartment;
  const HRESULT hr = CallComponent(
      "Init", nullptr, [](IZQCache& cache) { return cache.Initialize(); }, &stage);
  if (Succeeded(hr)) {
    initialized_.store(true);
    return true;
  }
  if (stage == Stage::kApartment || stage == Stage::kInstance) {
    ReportText(kReportError, "Cache component failed to instantiate HRESULT: 0X%x", Hex(hr));
  } else {
    ReportText(kReportError, "Cache component initialization failed HRESULT: 0X%x", Hex(hr));
  }
  return false;
}

bool CZQCache::CreateCache(const std::string& name, int32_t maxItems, int32_t lifetimeMinutes) {
  if (!CheckInitialized("CreateCache")) return false;
  return Succeeded(CallComponent("CreateCache", nullptr, [&](IZQCache& cache) {
    return cache.CreateCache(name, maxItems, lifetimeMinutes);
  }));
}

bool CZQCache::DestroyCache(const std::string& name) {
  // The destroy path shares its not-initialised text with CreateCache.
  if (!CheckInitialized("CreateCache")) return false;
  return Succeeded(CallComponent("DestroyCache", nullptr,
                                 [&](IZQCache& cache) { return cache.DestroyCache(name); }));
}

bool CZQCache::AddItem(const std::string& cacheName, const std::string& key,
                       const std::string& data, const std::string& session) {
  if (!CheckInitialized("AddItem")) return false;
  const ItemDetail detail{&key, &data, &session, &cacheName};
  return Succeeded(CallComponent("AddItem", &detail, [&](IZQCache& cache) {
    return cache.AddItem(key, session, data, cacheName);
  }));
}

bool CZQCache::GetItem(const std::string& cacheName, const std::string& key,
                       std::optional<std::string>* data, const std::string& session) {
  if (data != nullptr) data->reset();
  if (!CheckInitialized("GetItem")) return false;
  if (data == nullptr) return false;
  const ItemDetail detail{&key, nullptr, &session, &cacheName};
  std::string found;
  const HRESULT hr = CallComponent("GetItem", &detail, [&](IZQCache& cache) {
    return cache.GetItem(key, session, &found, cacheName);
  });
  if (hr == kSOk) *data = std::move(found);
  return Succeeded(hr);
}

bool CZQCache::InvalidateItem(const std::string& cacheName, const std::string& key) {
  if (!CheckInitialized("InvalidateItem")) return false;
  const ItemDetail detail{&key, nullptr, nullptr, &cacheName};
  return Succeeded(CallComponent("InvalidateItem", &detail, [&](IZQCache& cache) {
    return cache.InvalidateItem(key, cacheName);
  }));
}

bool CZQCache::ClearCache(const std::string& cacheName) {
  if (!CheckInitialized("ClearCache")) return false;
  const ItemDetail detail{nullptr, nullptr, nullptr, &cacheName};
  return Succeeded(CallComponent("ClearCache", &detail, [&](IZQCache& cache) { return cache.ClearCache(cacheName); }));
}

HRESULT CZQCache::Shutdown() {
  if (!CheckInitialized("Shutdown")) return kCacheENotInitialized;
  const HRESULT hr =
      CallComponent("Shutdown", nullptr, [](IZQCache& cache) { return cache.Shutdown(); });
  // One start, one stop: a second Shutdown must not end another client's start.
  if (Succeeded(hr)) initialized_.store(false);
  return hr;
}

}  // namespace nexoral
