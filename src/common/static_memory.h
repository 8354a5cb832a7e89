// Holders of the lazily created process-wide singletons. Manger_memory is the do-nothing base;
// Static_memory<T> creates T as a function-local static on first use (destroyed at unload) and
// hands it out through Acquire, which takes the singleton's global lock around creation; once
// created, the instance is read without the lock (it never changes until unload), so requests
// do not all pass through one lock.
#ifndef NEXORAL_COMMON_STATIC_MEMORY_H
#define NEXORAL_COMMON_STATIC_MEMORY_H

#include <atomic>

#include "common/sync.h"

namespace nexoral::Mem_Manager {

template <class T>
class Manger_memory {
 public:
  virtual ~Manger_memory() = default;
  virtual void create() {}
  virtual void destroy() {}

 protected:
  T* instance_ = nullptr;
};

template <class T>
class Static_memory : public Manger_memory<T> {
 public:
  explicit Static_memory(CSync& lock) : lock_(lock) {}

  void create() override {
    static T instance;
    std::atomic_ref<T*>(this->instance_).store(&instance, std::memory_order_release);
  }
  void destroy() override {}

  // The singleton, created on first call.
  T* Acquire() {
    if (T* created = std::atomic_ref<T*>(this->instance_).load(std::memory_order_acquire)) {
      return created;
    }
    CSyncGuard guard(lock_);
    if (this->instance_ == nullptr) create();
    return this->instance_;
  }

 private:
  CSync& lock_;
};

}  // namespace nexoral::Mem_Manager

#endif  // NEXORAL_COMMON_STATIC_MEMORY_H
