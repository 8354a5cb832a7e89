// The memory all client connections together may hold in request bodies: a request takes its
// body's size from the budget before reading it and gives it back when it is over; a body that
// finds no room is refused, and the others carry on. Lock-free; shared by every connection.
#ifndef NEXORAL_SERVER_BODY_BUDGET_H
#define NEXORAL_SERVER_BODY_BUDGET_H

#include <atomic>
#include <cstddef>

namespace nexoral::server {

class BodyBudget {
 public:
  explicit BodyBudget(size_t limit) : limit_(limit) {}

  // Takes bytes; false, taking nothing, when they would pass the limit.
  bool Take(size_t bytes) {
    size_t used = used_.load(std::memory_order_relaxed);
    do {
      if (bytes > limit_ - used) return false;
    } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
    return true;
  }

  // Gives back bytes taken before.
  void GiveBack(size_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }

 private:
  const size_t limit_;
  std::atomic<size_t> used_{0};
};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_BODY_BUDGET_H
