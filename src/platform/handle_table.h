// HandleTable<T>: the objects behind the opaque handles this layer issues (tokens, event
// sources). Handle values are non-null multiples of 4 that are never reused within a process,
// so a stale handle is always recognised. Thread-safe.
#ifndef NEXORAL_PLATFORM_HANDLE_TABLE_H
#define NEXORAL_PLATFORM_HANDLE_TABLE_H

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "nexoral/win_types.h"

namespace nexoral::platform {

template <class T>
class HandleTable {
 public:
  explicit HandleTable(uintptr_t firstValue) : lastValue_(firstValue) {}

  HANDLE Insert(T object) {
    std::lock_guard<std::mutex> guard(mutex_);
    lastValue_ += 4;
    objects_.emplace(lastValue_, std::move(object));
    return reinterpret_cast<HANDLE>(lastValue_);
  }

  // A copy of the object behind handle, or nothing for an unknown handle.
  std::optional<T> Find(HANDLE handle) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto found = objects_.find(reinterpret_cast<uintptr_t>(handle));
    if (found == objects_.end()) return std::nullopt;
    return found->second;
  }

  bool Erase(HANDLE handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    return objects_.erase(reinterpret_cast<uintptr_t>(handle)) == 1;
  }

  size_t Size() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return objects_.size();
  }

 private:
  mutable std::mutex mutex_;
  uintptr_t lastValue_;
  std::unordered_map<uintptr_t, T> objects_;
};

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_HANDLE_TABLE_H
