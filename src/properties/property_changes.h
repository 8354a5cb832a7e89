// CPropertyChanges: the client of the mailbox property component's change feed. When the store
// is shared by several front ends it hands the subscriber each mailbox whose values another
// front end changed, on the feed's own thread, and "every mailbox" each time the feed joins:
// changes made while it was lost (or before it first joined) were not heard. With a store of one
// machine it does nothing. Start once the caches are up, Stop before they go.
#ifndef NEXORAL_PROPERTIES_PROPERTY_CHANGES_H
#define NEXORAL_PROPERTIES_PROPERTY_CHANGES_H

#include <atomic>
#include <functional>
#include <string>

#include "mailbox/exchange_access_interface.h"
#include "platform/component_factory.h"

namespace nexoral {

class CPropertyChanges {
 public:
  // Called with the store key of a changed mailbox ("domain\user" in lower case, or the user),
  // or null for every mailbox.
  using ChangeHandler = std::function<void(const std::string* mailbox)>;

  ~CPropertyChanges() { Stop(); }
  // Subscribes; true when the store has a feed and it was started. Its state changes are logged.
  bool Start(ChangeHandler handler);
  void Stop();
  // True while subscribed: a change made here must then be announced to the others.
  bool Active() const { return active_.load(std::memory_order_acquire); }

 private:
  static void OnChange(void* context, PropertyChange change, const char* text);

  ChangeHandler handler_;
  platform::ComPtr<IZqPropertyChanges> feed_;
  std::atomic<bool> active_{false};
};

}  // namespace nexoral

#endif  // NEXORAL_PROPERTIES_PROPERTY_CHANGES_H
