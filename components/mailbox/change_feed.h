// ChangeFeed: IZqPropertyChanges over a PostgreSQL store. A thread of its own keeps one
// connection that LISTENs on the change channel and hands each note another process sent to
// the subscriber; when the connection cannot be made or breaks, it reports the loss once and
// tries again every kRetryPause until it is back. Notes sent while it is lost are not seen: it
// reports each join, so that the subscriber forgets what it may have missed.
#ifndef NEXORAL_COMPONENTS_MAILBOX_CHANGE_FEED_H
#define NEXORAL_COMPONENTS_MAILBOX_CHANGE_FEED_H

#include <chrono>
#include <thread>

#include "exchange_access_interface.h"
#include "postgres_store.h"

namespace nexoral::mailbox {

class ChangeFeed final : public platform::RefCounted<IZqPropertyChanges> {
 public:
  ChangeFeed() = default;
  ~ChangeFeed() override { Stop(); }

  HRESULT Subscribe(PropertyChangeCallback callback, void* context) override;
  HRESULT Unsubscribe() override;

 private:
  // Ends the thread; false when none ran.
  bool Stop();
  void Run(const PostgresSettings& settings, PropertyChangeCallback callback, void* context);
  // Listens until the connection breaks (false) or a stop is asked for (true).
  bool Listen(PgConnection& connection, PropertyChangeCallback callback, void* context);
  // True when a stop was asked for within the wait.
  bool StopAskedWithin(std::chrono::milliseconds wait) const;

  int stopEvent_ = -1;
  std::thread thread_;
};

}  // namespace nexoral::mailbox

#endif  // NEXORAL_COMPONENTS_MAILBOX_CHANGE_FEED_H
