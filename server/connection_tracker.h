// The open client connections, for a graceful stop: once stopping, connections that wait for a
// request are closed at once, those serving one close after its response, and whatever is still
// open when the drain time is over is closed. Thread-safe; each connection's own state is only
// touched on its strand.
#ifndef NEXORAL_SERVER_CONNECTION_TRACKER_H
#define NEXORAL_SERVER_CONNECTION_TRACKER_H

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

#include "net.h"

namespace nexoral::server {

// A connection as the tracker sees it. Fields other than executor are read and written only on
// the connection's strand.
struct TrackedConnection {
  asio::any_io_executor executor;  // the connection's strand
  bool idle = false;               // waiting for the first byte of a request
  std::function<void()> cancel;    // cancels the connection's pending operations
};

class ConnectionTracker {
 public:
  // Registers a connection until the returned guard is destroyed.
  class Registration {
   public:
    Registration(ConnectionTracker& tracker, std::shared_ptr<TrackedConnection> connection);
    ~Registration();
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

   private:
    ConnectionTracker& tracker_;
    std::list<std::weak_ptr<TrackedConnection>>::iterator position_;
  };

  bool Stopping() const { return stopping_.load(std::memory_order_acquire); }

  // Marks the tracker stopping and closes idle connections.
  void BeginStop() { stopping_.store(true, std::memory_order_release); CancelWhere(true); }
  // Closes every connection still open.
  void CancelAll() { CancelWhere(false); }

  size_t Count() const;
  // Called (on some connection's thread) whenever the last connection ends while stopping.
  void OnDrained(std::function<void()> callback);

 private:
  void CancelWhere(bool idleOnly);

  mutable std::mutex mutex_;
  std::list<std::weak_ptr<TrackedConnection>> connections_;
  std::atomic<bool> stopping_{false};
  std::function<void()> onDrained_;
};

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_CONNECTION_TRACKER_H
