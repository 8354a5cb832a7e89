// The change feed's client: subscribe, hand changes over, log the feed's state.
#include "properties/property_changes.h"

#include "diagnostics/log.h"
#include "platform/error_codes.h"

namespace nexoral {

bool CPropertyChanges::Start(ChangeHandler handler) {
  Stop();
  handler_ = std::move(handler);
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (hr == RPC_E_CHANGED_MODE) hr = kSOk;
  if (Succeeded(hr)) hr = CreateComponentInstance(kExchangeAccessComponentName, &feed_);
  if (Succeeded(hr)) hr = feed_->Subscribe(&CPropertyChanges::OnChange, this);
  if (hr != kSOk) {
    if (Failed(hr)) Log("CPropertyChanges::Start could not subscribe to property changes HR: 0x%x", static_cast<unsigned>(hr));
    feed_.Reset();
    return false;
  }
  active_.store(true, std::memory_order_release);
  return true;
}

void CPropertyChanges::Stop() {
  if (!feed_) return;
  feed_->Unsubscribe();
  feed_.Reset();
  active_.store(false, std::memory_order_release);
}

void CPropertyChanges::OnChange(void* context, PropertyChange change, const char* text) {
  auto* self = static_cast<CPropertyChanges*>(context);
  try {
    switch (change) {
      case PropertyChange::kChanged: {
        const std::string mailbox = text;
        self->handler_(&mailbox);
        break;
      }
      case PropertyChange::kFeedJoined:
        Log("Property changes of other front ends are followed at %s", text);
        self->handler_(nullptr);
        break;
      case PropertyChange::kFeedLost:
        Log("Property changes of other front ends are not followed: %s. Cached properties may be stale "
            "until the feed, which reconnects by itself, joins again",
            text);
        break;
    }
  } catch (...) {
    Log("CPropertyChanges::OnChange failed to handle a property change");
  }
}

}  // namespace nexoral
