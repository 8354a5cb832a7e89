// The custom user properties of the settings host: read, store and refresh a user's properties
// through the property cache and the mailbox property component, and drop users from the
// directory-user cache. Request threads of many users call these at once.
//
// Consistency: a user's properties are one record in the store and one text in the cache. Every
// path that goes to the store (a write, a read that missed, a refresh) holds the user's stripe
// lock, one of kPropertyStripes mutexes chosen by the hash of the cache key, across the store call
// and the cache update; a read-miss looks the cache up again under it. So a read cannot put an
// older text into the cache after a newer write, concurrent writes of one user win as a whole,
// and store and cache end equal. Reads that hit the cache take no lock: the cache replaces an
// item whole. Users of different stripes never wait for each other.
//
// The cache key is the reduced user name in lower case: account names compare ignoring case,
// and the mailbox store keys mailboxes so. With a store several front ends share, the change
// feed drops a user whom another front end changed, under the same stripe lock: a read-miss that
// fetched the older values has cached them before the drop, never after it. Defaults that stand
// in for a store that could not be read are never cached.
//
// The custom property table and the default text come from the core settings file, which is
// loaded once before the first request and never again: they are read without the settings lock.
#include <array>
#include <functional>
#include <mutex>
#include <optional>

#include "diagnostics/event_log.h"
#include "diagnostics/log.h"
#include "mailbox/exchange_access_interface.h"
#include "platform/ascii_text.h"
#include "platform/error_codes.h"
#include "properties/exchange_access.h"
#include "properties/property_text.h"
#include "settings/core_general_settings.h"
#include "settings/core_items.h"

namespace nexoral {
namespace {

unsigned Hex(HRESULT hr) { return static_cast<unsigned>(hr); }

// The mailbox version the component is told: core item 37, 1 when absent.
int32_t MailboxVersion(CCoreGeneralSettings& host) { return host.CoreItemOr(kItemExchangeAccessMode, 1); }

// An explicit-logon mailbox may be another user's: its values never go into the caller's cache
// entry, which holds the caller's own mailbox.
bool IsExplicit(const std::string& mailbox) { return mailbox.find_first_not_of(" \t") != std::string::npos; }

// True when the component refused the mailbox because the user may not act on it.
bool AccessRefused(CExchangeAccess& access) {
  std::string text;
  int32_t number = 0;
  return Succeeded(access.GetErrorInfo(&text, &number)) && number == kAccessErrorAccessDenied;
}

std::string Dump(const CustomPropertyList& props) {
  std::string dump;
  DumpCustomProperties(dump, props);
  return dump;
}

}  // namespace

bool CCoreGeneralSettings::ReduceToPropertyKey(std::string& name) const {
  if (!ExtractUserName(name)) return false;
  for (char& c : name) c = platform::LowerAscii(c);
  return true;
}

std::mutex& CCoreGeneralSettings::PropertyStripeOf(const std::string& userKey) {
  return propertyStripes_[std::hash<std::string>{}(userKey) % propertyStripes_.size()];
}

bool CCoreGeneralSettings::GetCustomProperties(const std::string& user, CustomPropertyList& props,
                                               const std::string& ewsUrl, const std::string& session,
                                               int32_t id, const std::string& authType,
                                               const std::string& mailbox) {
  std::string name = user;
  const bool usable = ReduceToPropertyKey(name);
  Log("GetCustomProperties begins User %s Session %s ID %d Auth %s", name.c_str(), session.c_str(), id,
      authType.c_str());
  auto finish = [](bool result) {
    Log("GetCustomProperties ends %d", result ? 1 : 0);
    return result;
  };
  if (!usable) return finish(false);
  const bool cached = !IsExplicit(mailbox);
  // A cached text that holds the property answers. found: it did.
  std::optional<std::string> text;
  auto lookUp = [&] {
    text.reset();
    if (!propertyCache_.GetItem(propertyCacheName_, name, &text, session) || !text) return false;
    if (props.empty()) props = Criteria().Core().CustomPropertyTable();
    const bool found = FindPropertyInXML(*text, props, id);
    ParseXMLProperties(*text, props);
    return found;
  };
  if (cached && lookUp()) return finish(true);

  std::lock_guard<std::mutex> stripe(PropertyStripeOf(name));
  if (cached && lookUp()) return finish(true);  // filled while this thread waited
  bool result = false;
  std::string working;
  if (text) {
    working = std::move(*text);
  } else {
    props = Criteria().Core().CustomPropertyTable();
    for (CustomPropertyDef& prop : props) prop.Loaded = true;
    result = true;
  }

  CExchangeAccess access;
  HRESULT hr = access.Initialize(MailboxVersion(*this), kConnectionCallingUser, ewsUrl, mailbox);
  if (Failed(hr)) {
    Log("GetCustomProperties access to EWS failed hr 0x%x", Hex(hr));
    ReportText(kReportError, "Zephyrquill Nexoral failed to access Exchange to get User Preferences for %s",
               name.c_str());
    // A refused mailbox is not an unreachable one: the caller learns that it may not read it.
    return finish(result && !AccessRefused(access));
  }
  if (props.empty()) {
    Log("GetCustomProperties No Properties are available for User %s", name.c_str());
    return finish(result);
  }
  hr = access.GetCustomProperties(props);
  bool fallback = false;  // the defaults stand in for values the store could not give
  if (Failed(hr)) {
    Log("GetCustomProperties failed go with default for User %s", name.c_str());
    LogEWSError(access, session, name, ewsUrl, "Zephyrquill Nexoral failed to get User Preferences for ", hr,
                authType, Dump(props));
    working = Criteria().Core().DefaultCustomProperties();
    result = fallback = true;
  } else {
    BuildXMLProperties(working, props);
  }
  if (working.empty()) {
    Log("GetCustomProperties got an empty XML no properties User %s Session %s", name.c_str(), session.c_str());
    return finish(result);
  }
  // Defaults are never cached: the user's values come back with the store, not a lifetime later.
  if (!cached || fallback) return finish(true);
  if (propertyCache_.AddItem(propertyCacheName_, name, working, session)) return finish(true);
  Log("GetCustomProperties failed to add item to cache for User %s", name.c_str());
  ReportText(kReportError, "GetCustomProperties failed to add item to cache for User %s. Session %s. HRESULT 0x%x",
             name.c_str(), session.c_str(), Hex(kEFail));
  return finish(result);
}

bool CCoreGeneralSettings::SetCustomProperties(const std::string& user, CustomPropertyList& props,
                                               const std::string& ewsUrl, const std::string& session,
                                               int32_t id, const std::string& authType,
                                               const std::string& mailbox) {
  std::string name = user;
  const bool usable = ReduceToPropertyKey(name);
  Log("SetCustomProperties begins User %s Session %s ID %d Auth %s", name.c_str(), session.c_str(), id,
      authType.c_str());
  if (!usable) {
    Log("SetCustomProperties ends %d", 0);
    return false;
  }
  bool result = true;
  std::lock_guard<std::mutex> stripe(PropertyStripeOf(name));
  CExchangeAccess access;
  HRESULT hr = access.Initialize(MailboxVersion(*this), kConnectionCallingUser, ewsUrl, mailbox);
  bool store = true;  // the text goes to the cache
  if (Failed(hr)) {
    Log("GetCustomProperties access to EWS failed hr 0x%x", Hex(hr));
    LogEWSError(access, session, name, ewsUrl,
                "Zephyrquill Nexoral failed to access Exchange to set User Preferences for ", hr, authType,
                Dump(props));
    // A refused write leaves the cache alone and fails; an unreachable mailbox does not.
    result = store = !AccessRefused(access);
  } else if (props.empty()) {
    Log("SetCustomProperties No Properties are available for User %s", name.c_str());
  } else if (Failed(hr = access.SetCustomProperties(props))) {
    Log("SetCustomProperties to EWS failed hr 0x%x", Hex(hr));
    LogEWSError(access, session, name, ewsUrl, "Zephyrquill Nexoral failed to save User Preferences in Exchange for ",
                hr, authType, Dump(props));
    result = store = false;
  }
  if (store) {
    std::string text;
    BuildXMLProperties(text, props);
    // The caller's entry holds the caller's own mailbox: after a write through an explicit logon
    // (perhaps to that very mailbox) the next read goes to the store instead.
    const bool updated = IsExplicit(mailbox) ? propertyCache_.InvalidateItem(propertyCacheName_, name)
                                             : propertyCache_.AddItem(propertyCacheName_, name, text, session);
    if (!updated) {
      Log("SetCustomProperties for %s failed to update in Cache", name.c_str());
      ReportText(kReportError, "SetCustomProperties for %s failed to update in Cache Session: %s", name.c_str(),
                 session.c_str());
    }
  }
  Log("SetCustomProperties ends %d", result ? 1 : 0);
  return result;
}

bool CCoreGeneralSettings::RefreshCustomProperties(const std::string& user, const std::string& session,
                                                   int32_t id) {
  std::string name = user;
  const bool usable = ReduceToPropertyKey(name);
  Log("RefreshCustomProperties User %s Session %s ID %d", name.c_str(), session.c_str(), id);
  bool result = usable;
  if (usable) {
    const CustomPropertyList& table = Criteria().Core().CustomPropertyTable();
    std::lock_guard<std::mutex> stripe(PropertyStripeOf(name));
    std::optional<std::string> text;
    if (propertyCache_.GetItem(propertyCacheName_, name, &text, session) && text) {
      result = RemovePropertyFromXML(*text, table, id);
      if (result && !propertyCache_.AddItem(propertyCacheName_, name, *text, session)) {
        Log("RefreshCustomProperties failed to refresh item to cache for User %s", name.c_str());
        ReportText(kReportError, "RefreshCustomProperties failed to refresh item to cache for User %s. Session %s.",
                   name.c_str(), session.c_str());
      }
    }
    // The other front ends forget the user's properties too.
    CExchangeAccess access;
    if (propertyChanges_.Active() &&
        Succeeded(access.Initialize(MailboxVersion(*this), kConnectionCallingUser, "", ""))) {
      access.AnnounceChange();
    }
  }
  Log("RefreshCustomProperties ends %d", result ? 1 : 0);
  return result;
}

void CCoreGeneralSettings::DropCachedProperties(const std::string& mailbox) {
  std::string name = mailbox;
  if (!ReduceToPropertyKey(name)) return;
  // Under the user's lock: a read that missed meanwhile and fetched the older values has put
  // them in the cache before this drop, never after it.
  std::lock_guard<std::mutex> stripe(PropertyStripeOf(name));
  const bool dropped = propertyCache_.InvalidateItem(propertyCacheName_, name);
  Log("Properties of %s changed on another front end: %s", name.c_str(),
      dropped ? "dropped from the cache" : "the cache could not drop them");
}

void CCoreGeneralSettings::DropAllCachedProperties() {
  // Every user's lock, always in the same order (request threads hold one at a time).
  std::array<std::unique_lock<std::mutex>, kPropertyStripes> held;
  for (size_t index = 0; index < kPropertyStripes; ++index) held[index] = std::unique_lock(propertyStripes_[index]);
  const bool cleared = propertyCache_.ClearCache(propertyCacheName_);
  Log("Property changes of other front ends may have been missed: %s", cleared ? "the property cache was cleared"
                                                                              : "the property cache could not be cleared");
}

bool CCoreGeneralSettings::InvalidateADUserCache(const std::string& user) {
  Log("[CCoreGeneralSettings::InvalidateADUserCache] begins");
  if (user.empty()) {
    Log("[CCoreGeneralSettings::InvalidateADUserCache] Username is empty.");
    return false;
  }
  std::string name = user;
  const size_t backslash = name.find('\\');
  const size_t at = name.find('@');
  if (backslash != std::string::npos) {
    if (backslash + 1 == name.size()) {
      Log("[CCoreGeneralSettings::InvalidateADUserCache] got an invalid Username format %s", name.c_str());
      return false;
    }
    name.erase(0, backslash + 1);
  } else if (at != std::string::npos && at + 1 < name.size()) {
    name.resize(at);
  }
  Log("[CCoreGeneralSettings::InvalidateADUserCache] Invalidate user cache, User: %s", name.c_str());
  const bool invalidated = directoryUserCache_.InvalidateItem(kDirectoryUserCacheName, name);
  Log("[CCoreGeneralSettings::InvalidateADUserCache] Invalidate user cache %s for User: %s",
      invalidated ? "SUCCEEDED" : "FAILED", name.c_str());
  return invalidated;
}

}  // namespace nexoral
