// The one timer of a client connection. Each phase of a request (waiting for it, reading it,
// waiting for the upstream, writing the response) sets a deadline for the socket it waits on;
// when the deadline passes first, that socket is closed, so the operation in progress fails and
// Expired() tells why. Setting a deadline is an assignment: the timer is only re-armed when it
// wakes up (at most every shortest timeout) or when a deadline comes earlier than it would wake.
// Used on the connection's strand only.
#ifndef NEXORAL_SERVER_DEADLINE_H
#define NEXORAL_SERVER_DEADLINE_H

#include <chrono>
#include <memory>

#include "net.h"
#include "server_config.h"

namespace nexoral::server {

class Deadline {
 public:
  explicit Deadline(const asio::any_io_executor& executor);
  ~Deadline();
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  // Closes target when `after` passes before the next Set or Clear.
  void Set(Duration after, tcp::socket& target);
  // No deadline until the next Set.
  void Clear();
  // Whether the last deadline set passed and closed its socket.
  bool Expired() const;

  // Sets a deadline for the scope of one operation.
  class Scope {
   public:
    Scope(Deadline& deadline, Duration after, tcp::socket& target) : deadline_(deadline) {
      deadline_.Set(after, target);
    }
    ~Scope() { deadline_.Clear(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    Deadline& deadline_;
  };

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_DEADLINE_H
