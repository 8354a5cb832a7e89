// Holders of the lazily created process-wide singletons. Manger_memory is the do-nothing base;
// Static_memory<T> creates T as a function-local static on first use (destroyed at unload) and
// hands it out through Acquire, which takes the singleton's global lock around creation and
// around every read of the instance pointer.
#ifndef NEXORAL_COMMON_STATIC_MEMORY_H
#define NEXORAL_COMMON_STATIC_MEMORY_H

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
    this->instance_ = &instance;
  }
  void destroy() override {}

  // The singleton, created on first call.
  T* Acquire() {
    CSyncGuard guard(lock_);
    if (this->instance_ == nullptr) create();
    return this->instance_;
  }

 private:
  CSync& lock_;
};

}  // namespace nexoral::Mem_Manager

#endif  // NEXORAL_COMMON_STATIC_MEMORY_H
