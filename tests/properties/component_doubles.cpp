// The scripted components.
#include "properties/component_doubles.h"

#include "platform/component_factory.h"

namespace nexoral::testing {
namespace {

CacheScript cacheScript;
AccessScript accessScript;

class ScriptedCache final : public platform::RefCounted<IZQCache> {
 public:
  HRESULT Initialize() override { return Call(); }
  HRESULT CreateCache(std::string_view, int32_t, int32_t) override { return Call(); }
  HRESULT DestroyCache(std::string_view) override { return Call(); }
  HRESULT AddItem(std::string_view, std::string_view, std::string_view, std::string_view) override {
    return Call();
  }
  HRESULT GetItem(std::string_view, std::string_view, std::string*, std::string_view) override {
    return Call();
  }
  HRESULT InvalidateItem(std::string_view, std::string_view) override { return Call(); }
  HRESULT Shutdown() override { return Call(); }

 private:
  static HRESULT Call() {
    ++cacheScript.calls;
    return cacheScript.onCall();
  }
};

class ScriptedAccess final : public platform::RefCounted<IZqExchangeAccess> {
 public:
  HRESULT Initialize(int32_t, int32_t, std::string_view, std::string_view, std::string_view,
                     std::string_view, std::string_view, int32_t* returnCode) override {
    return accessScript.onInitialize(returnCode);
  }
  HRESULT GetCustomProperties(const std::vector<std::string>&, const std::vector<int32_t>&,
                              const std::vector<int32_t>&, PropertyValues* values,
                              int32_t* errorCount) override {
    return accessScript.onRead(values, errorCount);
  }
  HRESULT SetCustomProperties(const std::vector<int32_t>&, const std::vector<std::string>&,
                              const std::vector<std::string>&, const std::vector<int32_t>&,
                              int32_t*) override {
    return 0;
  }
  HRESULT GetErrorInfo(std::string* text, int32_t* number) override {
    *text = "scripted failure";
    *number = 77;
    return 0;
  }
};

HRESULT CreateScriptedCache(const char* interfaceId, void** instance) {
  return platform::CreateInstanceOf<IZQCache, ScriptedCache>(interfaceId, instance);
}

HRESULT CreateScriptedAccess(const char* interfaceId, void** instance) {
  return platform::CreateInstanceOf<IZqExchangeAccess, ScriptedAccess>(interfaceId, instance);
}

}  // namespace

ScriptedComponents::ScriptedComponents() {
  cacheScript = CacheScript();
  accessScript = AccessScript();
  platform::RegisterInProcessComponent(kCacheComponentName, CreateScriptedCache);
  platform::RegisterInProcessComponent(kExchangeAccessComponentName, CreateScriptedAccess);
}

ScriptedComponents::~ScriptedComponents() {
  platform::RegisterInProcessComponent(kCacheComponentName, nullptr);
  platform::RegisterInProcessComponent(kExchangeAccessComponentName, nullptr);
}

CacheScript& ScriptedComponents::Cache() { return cacheScript; }
AccessScript& ScriptedComponents::Access() { return accessScript; }

}  // namespace nexoral::testing
