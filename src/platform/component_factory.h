// The component model: reference-counted component interfaces, the per-thread apartment flag
// and instance creation of a named component from its shared object. Clients create an
// instance, make their call and release it; any thread may do so at any time.
//
// Where a component comes from (first match wins):
//   1. a factory registered in this process under the component's name (test doubles);
//   2. when NEXORAL_COMPONENTS_DIR is set and not empty: <that folder>/<name>.so, nothing else;
//   3. the common folder's bin/ beside the installation of the loaded module that holds this
//      code: <module folder>/../Common Files/bin/<name>.so;
//   4. <name>.so through the dynamic loader's search order.
// The shared object exports kComponentFactoryExport. Once loaded it stays loaded for the life of
// the process.
#ifndef NEXORAL_PLATFORM_COMPONENT_FACTORY_H
#define NEXORAL_PLATFORM_COMPONENT_FACTORY_H

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "nexoral/win_types.h"
#include "platform/error_codes.h"

namespace nexoral {

// Apartment kinds a thread joins with CoInitializeEx.
inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

// The thread joined another apartment kind before; it stays in that one.
inline constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106u);
// CoCreateInstance on a thread that never called CoInitializeEx.
inline constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);
// No component of that name could be found or loaded.
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
// The component does not offer the interface asked for.
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);

namespace platform {

inline constexpr char kComponentsFolderVariable[] = "NEXORAL_COMPONENTS_DIR";
// extern "C" HRESULT CreateComponentInstance(const char* interfaceId, void** instance): a new
// instance with a reference count of 1 in *instance, or a failure and *instance null.
inline constexpr char kComponentFactoryExport[] = "CreateComponentInstance";
using ComponentFactoryFunction = HRESULT (*)(const char* interfaceId, void** instance);

// The base of every component interface. The last Release destroys the instance.
class IComponentUnknown {
 public:
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  virtual ~IComponentUnknown() = default;
};

// A component implementation's reference count: derive the class from RefCounted<Interface>.
template <class Interface>
class RefCounted : public Interface {
 public:
  uint32_t AddRef() override { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32_t Release() override {
    const uint32_t left = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<uint32_t> count_{1};
};

// Holds one reference to an interface and releases it when it goes.
template <class Interface>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) Attach(std::exchange(other.pointer_, nullptr));
    return *this;
  }
  ~ComPtr() { Reset(); }

  void Reset() { Attach(nullptr); }
  // Takes over a reference the caller owns.
  void Attach(Interface* pointer) {
    if (pointer_ != nullptr) pointer_->Release();
    pointer_ = pointer;
  }
  Interface* Get() const { return pointer_; }
  Interface* operator->() const { return pointer_; }
  Interface& operator*() const { return *pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }

 private:
  Interface* pointer_ = nullptr;
};

// For a component's factory export: a new Implementation (made from args) when interfaceId
// names Interface.
template <class Interface, class Implementation, class... Args>
HRESULT CreateInstanceOf(const char* interfaceId, void** instance, Args&&... args) noexcept {
  if (instance == nullptr) return E_POINTER;
  *instance = nullptr;
  if (interfaceId == nullptr || std::strcmp(interfaceId, Interface::kInterfaceId) != 0) {
    return E_NOINTERFACE;
  }
  Interface* created = new (std::nothrow) Implementation(std::forward<Args>(args)...);
  if (created == nullptr) return kEOutOfMemory;
  *instance = created;
  return kSOk;
}

// For a component's operations: runs one, turning any exception into a failure result so that
// nothing thrown crosses the interface.
template <class Operation>
HRESULT CallGuarded(Operation&& operation) noexcept {
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    return kEOutOfMemory;
  } catch (...) {
    return kEUnexpected;
  }
}

}  // namespace platform

// Joins the calling thread to an apartment kind. S_OK the first time, S_FALSE when it is in
// that kind already, RPC_E_CHANGED_MODE when it joined the other kind, E_INVALIDARG for an
// unknown kind. reserved must be null.
HRESULT CoInitializeEx(void* reserved, DWORD apartment);

// A new instance of the named component's interface (see the top of this file for where the
// component comes from). Needs CoInitializeEx on the calling thread first.
HRESULT CoCreateInstance(const char* componentName, const char* interfaceId, void** instance);

// The typed form: Interface::kInterfaceId names the interface.
template <class Interface>
HRESULT CreateComponentInstance(const char* componentName, platform::ComPtr<Interface>* instance) {
  if (instance == nullptr) return E_POINTER;
  void* created = nullptr;
  const HRESULT hr = CoCreateInstance(componentName, Interface::kInterfaceId, &created);
  instance->Attach(hr >= 0 ? static_cast<Interface*>(created) : nullptr);
  return hr;
}

namespace platform {

// The shared objects rules 2 to 4 try for a component name, in order.
std::vector<std::string> ComponentModulePaths(const std::string& componentName);

// Registers factory as the in-process source of the named component; null removes it. Threads
// see the change on their next creation.
void RegisterInProcessComponent(const std::string& componentName, ComponentFactoryFunction factory);

}  // namespace platform
}  // namespace nexoral

#endif  // NEXORAL_PLATFORM_COMPONENT_FACTORY_H
