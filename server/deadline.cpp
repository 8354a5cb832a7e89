// The connection's deadline timer.
#include "deadline.h"

#include <time.h>

namespace nexoral::server {

using Clock = std::chrono::steady_clock;

namespace {

// The steady clock read cheaply, to a few milliseconds: deadlines are seconds apart, and the
// timer compares with the exact time before it closes anything.
Clock::time_point CoarseNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return Clock::time_point(std::chrono::duration_cast<Clock::duration>(
      std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec)));
}

}  // namespace

// Shared with the pending wait, which may complete after the connection is gone.
struct Deadline::State : std::enable_shared_from_this<State> {
  explicit State(const asio::any_io_executor& executor) : timer(executor) {}

  void Arm(Clock::time_point at) {
    waiting = true;
    armedAt = at;
    ++generation;
    timer.expires_at(at);
    timer.async_wait([self = shared_from_this(), generation = generation](const error_code&) {
      self->Woken(generation);
    });
  }

  void Woken(unsigned wait) {
    if (stopped || wait != generation) return;  // stopped, or replaced by an earlier wait
    waiting = false;
    if (deadline == Clock::time_point::max()) return;
    if (deadline > Clock::now()) {
      Arm(deadline);
      return;
    }
    expired = true;
    deadline = Clock::time_point::max();
    error_code ignored;
    if (target != nullptr) target->close(ignored);
    target = nullptr;
  }

  asio::steady_timer timer;
  Clock::time_point deadline = Clock::time_point::max();
  Clock::time_point armedAt = Clock::time_point::max();
  tcp::socket* target = nullptr;
  unsigned generation = 0;
  bool waiting = false;
  bool expired = false;
  bool stopped = false;
};

Deadline::Deadline(const asio::any_io_executor& executor)
    : state_(std::make_shared<State>(executor)) {}

Deadline::~Deadline() {
  state_->stopped = true;
  state_->target = nullptr;
  state_->timer.cancel();
}

void Deadline::Set(Duration after, tcp::socket& target) {
  State& state = *state_;
  state.deadline = CoarseNow() + after;
  state.target = &target;
  state.expired = false;
  // A wait that ends before the deadline re-arms itself; only an earlier deadline re-arms now.
  if (!state.waiting || state.deadline < state.armedAt) state.Arm(state.deadline);
}

void Deadline::Clear() {
  state_->deadline = Clock::time_point::max();
  state_->target = nullptr;
}

bool Deadline::Expired() const { return state_->expired; }

}  // namespace nexoral::server
