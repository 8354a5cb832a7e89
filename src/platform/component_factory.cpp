// Instance creation. Each thread keeps the factories it has resolved, tagged with the
// generation of the process-wide table, so that creating an instance takes no lock once a
// thread has seen the component: only a registration or a first load takes the table's mutex.
#include "platform/component_factory.h"

#include <dlfcn.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/error_codes.h"
#include "platform/file_system.h"
#include "platform/module_loader.h"
#include "platform/module_names.h"

namespace nexoral {
namespace {

enum class Apartment { kNone, kMultithreaded, kApartmentThreaded };

thread_local Apartment threadApartment = Apartment::kNone;

class ComponentTable {
 public:
  // The factory of a component, loading its module when needed; null when there is none.
  platform::ComponentFactoryFunction Resolve(const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto registered = registered_.find(name);
    if (registered != registered_.end()) return registered->second;
    auto loaded = loaded_.find(name);
    if (loaded != loaded_.end()) return loaded->second;
    return Load(name);
  }

  void Register(const std::string& name, platform::ComponentFactoryFunction factory) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (factory != nullptr) {
      registered_[name] = factory;
    } else {
      registered_.erase(name);
    }
    generation_.fetch_add(1, std::memory_order_release);
  }

  uint64_t Generation() const { return generation_.load(std::memory_order_acquire); }

 private:
  platform::ComponentFactoryFunction Load(const std::string& name) {
    for (const std::string& path : platform::ComponentModulePaths(name)) {
      std::unique_ptr<platform::LoadedModule> module = platform::LoadedModule::Load(path);
      if (module == nullptr) continue;
      auto factory =
          module->FindFunction<platform::ComponentFactoryFunction>(platform::kComponentFactoryExport);
      if (factory == nullptr) continue;
      // A component stays loaded until the process ends: instances may outlive any owner, and
      // unloading one from an exit handler could take the module that holds this code with it.
      module->KeepLoaded();
      loaded_.emplace(name, factory);
      return factory;
    }
    return nullptr;
  }

  std::mutex mutex_;
  std::atomic<uint64_t> generation_{1};
  std::map<std::string, platform::ComponentFactoryFunction> registered_;
  std::map<std::string, platform::ComponentFactoryFunction> loaded_;
};

ComponentTable& Table() {
  static ComponentTable table;
  return table;
}

// The factories this thread has resolved under one generation of the table.
struct ThreadFactories {
  uint64_t generation = 0;
  std::unordered_map<std::string, platform::ComponentFactoryFunction> factories;
};

thread_local ThreadFactories threadFactories;

platform::ComponentFactoryFunction FactoryFor(const std::string& name) {
  const uint64_t generation = Table().Generation();
  if (threadFactories.generation != generation) {
    threadFactories.factories.clear();
    threadFactories.generation = generation;
  }
  auto known = threadFactories.factories.find(name);
  if (known != threadFactories.factories.end()) return known->second;
  platform::ComponentFactoryFunction factory = Table().Resolve(name);
  // Failures are not remembered: a component installed later is found on the next call.
  if (factory != nullptr) threadFactories.factories.emplace(name, factory);
  return factory;
}

// The folder of the loaded module that holds this code, without a trailing slash.
std::string OwnModuleFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OwnModuleFolder), &info) == 0 || info.dli_fname == nullptr) {
    return std::string();
  }
  return platform::ParentFolder(info.dli_fname);
}

}  // namespace

HRESULT CoInitializeEx(void* reserved, DWORD apartment) {
  if (reserved != nullptr) return kEInvalidArg;
  Apartment wanted = Apartment::kNone;
  if (apartment == COINIT_MULTITHREADED) wanted = Apartment::kMultithreaded;
  if (apartment == COINIT_APARTMENTTHREADED) wanted = Apartment::kApartmentThreaded;
  if (wanted == Apartment::kNone) return kEInvalidArg;
  if (threadApartment == Apartment::kNone) {
    threadApartment = wanted;
    return kSOk;
  }
  return threadApartment == wanted ? kSFalse : RPC_E_CHANGED_MODE;
}

HRESULT CoCreateInstance(const char* componentName, const char* interfaceId, void** instance) {
  if (instance == nullptr) return E_POINTER;
  *instance = nullptr;
  if (componentName == nullptr || interfaceId == nullptr || componentName[0] == '\0') {
    return kEInvalidArg;
  }
  if (threadApartment == Apartment::kNone) return CO_E_NOTINITIALIZED;
  try {
    platform::ComponentFactoryFunction factory = FactoryFor(componentName);
    if (factory == nullptr) return REGDB_E_CLASSNOTREG;
    const HRESULT hr = factory(interfaceId, instance);
    if (Failed(hr)) *instance = nullptr;
    return hr;
  } catch (const std::bad_alloc&) {
    return kEOutOfMemory;
  }
}

namespace platform {

std::vector<std::string> ComponentModulePaths(const std::string& componentName) {
  const std::string fileName = SharedObjectFileName(componentName);
  const char* configured = std::getenv(kComponentsFolderVariable);
  if (configured != nullptr && configured[0] != '\0') {
    return {std::string(configured) + "/" + fileName};
  }
  std::vector<std::string> paths;
  const std::string moduleFolder = OwnModuleFolder();
  if (!moduleFolder.empty()) {
    paths.push_back(ParentFolder(moduleFolder) + "/Common Files/bin/" + fileName);
  }
  paths.push_back(fileName);
  return paths;
}

void RegisterInProcessComponent(const std::string& componentName,
                                ComponentFactoryFunction factory) {
  Table().Register(componentName, factory);
}

}  // namespace platform
}  // namespace nexoral
