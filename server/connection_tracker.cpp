// Tracking connections for the graceful stop.
#include "connection_tracker.h"

#include <vector>

namespace nexoral::server {

ConnectionTracker::Registration::Registration(ConnectionTracker& tracker,
                                              std::shared_ptr<TrackedConnection> connection)
    : tracker_(tracker) {
  std::lock_guard<std::mutex> guard(tracker_.mutex_);
  position_ = tracker_.connections_.insert(tracker_.connections_.end(), connection);
}

ConnectionTracker::Registration::~Registration() {
  std::function<void()> drained;
  {
    std::lock_guard<std::mutex> guard(tracker_.mutex_);
    tracker_.connections_.erase(position_);
    if (tracker_.connections_.empty() && tracker_.Stopping()) drained = tracker_.onDrained_;
  }
  if (drained) drained();
}

size_t ConnectionTracker::Count() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return connections_.size();
}

void ConnectionTracker::OnDrained(std::function<void()> callback) {
  std::lock_guard<std::mutex> guard(mutex_);
  onDrained_ = std::move(callback);
}

void ConnectionTracker::CancelWhere(bool idleOnly) {
  std::vector<std::shared_ptr<TrackedConnection>> open;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& weak : connections_) {
      if (auto connection = weak.lock()) open.push_back(std::move(connection));
    }
  }
  for (auto& connection : open) {
    asio::post(connection->executor, [connection, idleOnly] {
      if (connection->cancel && (!idleOnly || connection->idle)) connection->cancel();
    });
  }
}

}  // namespace nexoral::server
