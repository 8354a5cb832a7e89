// The change feed's thread: connect, LISTEN, hand notes over, and start again after a loss.
#include "change_feed.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "store_location.h"

namespace nexoral::mailbox {

HRESULT ChangeFeed::Subscribe(PropertyChangeCallback callback, void* context) {
  if (callback == nullptr) return E_POINTER;
  return platform::CallGuarded([&]() -> HRESULT {
    if (thread_.joinable()) return kEUnexpected;
    PostgresSettings settings = PostgresSettingsFromEnvironment();
    if (!IsPostgresLocation(settings.uri)) return kSFalse;
    stopEvent_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopEvent_ < 0) return kEFail;
    thread_ = std::thread(&ChangeFeed::Run, this, std::move(settings), callback, context);
    return kSOk;
  });
}

HRESULT ChangeFeed::Unsubscribe() {
  return platform::CallGuarded([&] { return Stop() ? kSOk : kSFalse; });
}

bool ChangeFeed::Stop() {
  if (!thread_.joinable()) return false;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(stopEvent_, &one, sizeof one);
  thread_.join();
  ::close(stopEvent_);
  stopEvent_ = -1;
  return true;
}

bool ChangeFeed::StopAskedWithin(std::chrono::milliseconds wait) const {
  pollfd entry{stopEvent_, POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&entry, 1, static_cast<int>(wait.count()));
  } while (ready < 0 && errno == EINTR);
  return ready != 0;
}

void ChangeFeed::Run(const PostgresSettings& settings, PropertyChangeCallback callback, void* context) {
  try {
    bool lossReported = false;
    while (!StopAskedWithin(std::chrono::milliseconds(0))) {
      StoreError error;
      const Clock::time_point deadline = Clock::now() + settings.limit;
      std::unique_ptr<PgConnection> connection = ConnectWith(settings, deadline, &error);
      if (connection != nullptr) {
        const std::string listen = std::string("LISTEN ") + kChangeChannel;
        if (connection->Execute(listen.c_str(), {}, false, deadline, &error) != nullptr) {
          callback(context, PropertyChange::kFeedJoined, connection->Description().c_str());
          lossReported = false;
          if (Listen(*connection, callback, context)) return;
          error = connection->Lost("while listening");
        }
      }
      if (!lossReported) callback(context, PropertyChange::kFeedLost, error.text.c_str());
      lossReported = true;
      if (StopAskedWithin(kRetryPause)) return;
    }
  } catch (...) {
    // The thread ends; the subscriber's cache lifetime bounds what the lost feed costs.
  }
}

bool ChangeFeed::Listen(PgConnection& connection, PropertyChangeCallback callback, void* context) {
  for (;;) {
    pollfd entries[2] = {{connection.Socket(), POLLIN, 0}, {stopEvent_, POLLIN, 0}};
    if (::poll(entries, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (entries[1].revents != 0) return true;
    if (PQconsumeInput(connection.Handle()) == 0) return false;
    while (PGnotify* note = PQnotifies(connection.Handle())) {
      if (const auto mailbox = ChangedMailbox(note->extra != nullptr ? note->extra : "")) {
        callback(context, PropertyChange::kChanged, std::string(*mailbox).c_str());
      }
      PQfreemem(note);
    }
    if (PQstatus(connection.Handle()) != CONNECTION_OK) return false;
  }
}

}  // namespace nexoral::mailbox
