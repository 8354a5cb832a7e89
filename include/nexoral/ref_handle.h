// CRefHandle: shared ownership of one record, as the module and the workers pass records
// between them. Three machine words: the record, its reference count, and an auxiliary byte
// released together with the count. Copies may be made and released on any thread.
#ifndef NEXORAL_REF_HANDLE_H
#define NEXORAL_REF_HANDLE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

// The count and the auxiliary byte live in one allocation; the count comes first.
struct CRefHandleControl {
  std::atomic<int32_t> count;
  uint8_t aux;
};

// A worker may read the record through get() or the first word; it may also copy a handle to
// keep a record alive beyond the call (release it before TerminateFilter returns).
template <class T>
class CRefHandle {
 public:
  CRefHandle() noexcept = default;

  // Takes ownership of object. When the count cannot be allocated the object is destroyed and
  // std::bad_alloc propagates, so nothing leaks.
  explicit CRefHandle(T* object) {
    if (object == nullptr) return;
    CRefHandleControl* control = new (std::nothrow) CRefHandleControl{{1}, 0};
    if (control == nullptr) {
      delete object;
      throw std::bad_alloc();
    }
    object_ = object;
    count_ = &control->count;
    aux_ = &control->aux;
  }

  CRefHandle(const CRefHandle& other) noexcept
      : object_(other.object_), count_(other.count_), aux_(other.aux_) {
    if (count_ != nullptr) count_->fetch_add(1, std::memory_order_relaxed);
  }

  CRefHandle(CRefHandle&& other) noexcept
      : object_(std::exchange(other.object_, nullptr)),
        count_(std::exchange(other.count_, nullptr)),
        aux_(std::exchange(other.aux_, nullptr)) {}

  CRefHandle& operator=(CRefHandle other) noexcept {
    Swap(other);
    return *this;
  }

  ~CRefHandle() { Release(); }

  // Gives up this handle's reference; the last one destroys the record (through its virtual
  // destructor where it has one). The handle is null afterwards.
  void Release() noexcept {
    T* object = std::exchange(object_, nullptr);
    std::atomic<int32_t>* count = std::exchange(count_, nullptr);
    aux_ = nullptr;
    if (count == nullptr) return;
    if (count->fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    delete object;
    delete reinterpret_cast<CRefHandleControl*>(count);
  }

  void Swap(CRefHandle& other) noexcept {
    std::swap(object_, other.object_);
    std::swap(count_, other.count_);
    std::swap(aux_, other.aux_);
  }

  T* get() const noexcept { return object_; }
  T* operator->() const noexcept { return object_; }
  T& operator*() const noexcept { return *object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Number of handles sharing the record (0 for a null handle). Only a snapshot.
  int32_t UseCount() const noexcept {
    return count_ == nullptr ? 0 : count_->load(std::memory_order_acquire);
  }

 private:
  T* object_ = nullptr;
  std::atomic<int32_t>* count_ = nullptr;
  uint8_t* aux_ = nullptr;
};

// Creates a record and its first handle.
template <class T, class... Args>
CRefHandle<T> MakeRefHandle(Args&&... args) {
  return CRefHandle<T>(new T(std::forward<Args>(args)...));
}

static_assert(sizeof(CRefHandle<int>) == 3 * sizeof(void*), "a handle is three machine words");

#endif  // NEXORAL_REF_HANDLE_H
