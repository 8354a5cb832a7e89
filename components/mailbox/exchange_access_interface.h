// IZqExchangeAccess: the interface of the mailbox property component "ZqExchangeAccess",
// shared by the component and its client. An instance acts for one mailbox, chosen by
// Initialize, and reads and writes property values kept for that mailbox, each keyed by its
// property-set GUID, property id and type. One instance serves one caller at a time; any
// number of instances, in any number of processes, may work on the same store at once.
#ifndef NEXORAL_COMPONENTS_MAILBOX_EXCHANGE_ACCESS_INTERFACE_H
#define NEXORAL_COMPONENTS_MAILBOX_EXCHANGE_ACCESS_INTERFACE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nexoral/win_types.h"
#include "platform/component_factory.h"

namespace nexoral {

inline constexpr char kExchangeAccessComponentName[] = "ZqExchangeAccess";

// The one connection kind: act for the calling thread's user, or for the explicit-logon
// mailbox when one is given.
inline constexpr int32_t kConnectionCallingUser = 2;

// Error numbers of GetErrorInfo and return codes of Initialize. Failures of an SQLite store
// carry SQLite's extended result code (5 locked, 14 cannot open, 26 not a database, ...);
// those of a PostgreSQL store one of 1008 to 1010.
inline constexpr int32_t kAccessErrorNoMailbox = 1001;
inline constexpr int32_t kAccessErrorConnectionKind = 1002;
inline constexpr int32_t kAccessErrorCredentials = 1003;
inline constexpr int32_t kAccessErrorInvalidProperty = 1004;
inline constexpr int32_t kAccessErrorNotInitialized = 1005;
inline constexpr int32_t kAccessErrorStoreFormat = 1006;
// The calling user may not act on the explicit-logon mailbox: it is not the user's own and the
// directory does not list the user among its delegates (or there is no directory to ask).
inline constexpr int32_t kAccessErrorAccessDenied = 1007;
// The PostgreSQL database cannot be reached, the connection broke, or the call did not end
// within the time limit. Nothing was written (a write that broke off is all or nothing); the
// next call tries again, so the store recovers on its own once the database is back.
inline constexpr int32_t kAccessErrorStoreUnavailable = 1008;
// The PostgreSQL database refused the call (its SQLSTATE is in the text): rights, a value the
// database cannot hold, ...
inline constexpr int32_t kAccessErrorStoreRefused = 1009;
// The store's settings cannot be used: the password file cannot be read or is readable by
// others.
inline constexpr int32_t kAccessErrorStoreSettings = 1010;

// Reading or writing before a successful Initialize.
inline constexpr HRESULT kAccessENotInitialized = static_cast<HRESULT>(0x80040210u);
// The store failed; GetErrorInfo tells why. Nothing was written.
inline constexpr HRESULT kAccessEStore = static_cast<HRESULT>(0x80040211u);

// Bounds of the arguments; beyond them a call fails with E_INVALIDARG (a value beyond its bound
// counts as an error of that property instead).
inline constexpr size_t kAccessMaxTextBytes = 2048;  // URL, mailbox, credentials
inline constexpr size_t kAccessMaxProperties = 4096;
inline constexpr size_t kAccessMaxValueBytes = 64 * 1024;

// One value per property asked for; nothing for a property the mailbox never stored.
using PropertyValues = std::vector<std::optional<std::string>>;

class IZqExchangeAccess : public platform::IComponentUnknown {
 public:
  static constexpr char kInterfaceId[] = "IZqExchangeAccess";

  // Chooses the mailbox and opens the store. version names the server version the caller
  // speaks to; the store keeps one format for every version, so any value is accepted.
  // connection must be kConnectionCallingUser. The credentials must be empty: the component
  // acts as the calling thread. *returnCode is 0, or the error number of GetErrorInfo.
  virtual HRESULT Initialize(int32_t version, int32_t connection, std::string_view ewsUrl,
                             std::string_view mailbox, std::string_view user,
                             std::string_view password, std::string_view domain,
                             int32_t* returnCode) = 0;
  // The values of the properties (the three arrays are parallel), in their order. A property
  // whose GUID is not a GUID gets nothing and counts in *errorCount.
  virtual HRESULT GetCustomProperties(const std::vector<std::string>& guids,
                                      const std::vector<int32_t>& types,
                                      const std::vector<int32_t>& ids, PropertyValues* values,
                                      int32_t* errorCount) = 0;
  // Stores the values (the four arrays are parallel) in one transaction: all or nothing. An
  // invalid property counts in *errorCount and then nothing is stored.
  virtual HRESULT SetCustomProperties(const std::vector<int32_t>& ids,
                                      const std::vector<std::string>& guids,
                                      const std::vector<std::string>& values,
                                      const std::vector<int32_t>& types, int32_t* errorCount) = 0;
  // The last failure of this instance: its text and number (empty and 0 when none).
  virtual HRESULT GetErrorInfo(std::string* text, int32_t* number) = 0;
  // Tells the other front ends sharing the store that the mailbox's values changed, so that
  // they drop what they cached of it (see IZqPropertyChanges). S_OK at once for a store of one
  // machine.
  virtual HRESULT AnnounceChange() = 0;
};

// What a change feed reports: a mailbox whose values changed on another front end (text: its
// store key, "domain\user" in lower case, or the bare user), or that the feed lost or regained
// its connection (text: why, or where it listens). Changes made while the feed is lost (or before
// it first joined) are not reported: on each join a subscriber forgets what it cached.
enum class PropertyChange : int32_t { kChanged = 0, kFeedLost = 1, kFeedJoined = 2 };
using PropertyChangeCallback = void (*)(void* context, PropertyChange change, const char* text);

// IZqPropertyChanges: the change feed of a store that several front ends share. An instance
// holds at most one subscription; the callback runs on the feed's own thread, one call at a
// time, and must not throw nor unsubscribe. Changes the subscribing process stored itself
// through its own mailbox are not reported (its caller updated its cache already); changes to
// an explicit-logon mailbox are.
class IZqPropertyChanges : public platform::IComponentUnknown {
 public:
  static constexpr char kInterfaceId[] = "IZqPropertyChanges";

  // Starts listening for the store the environment names. S_FALSE, and nothing started, for a
  // store of one machine; E_UNEXPECTED when this instance is subscribed already. The feed
  // connects (and reconnects) by itself: a database that is down is not a failure here.
  virtual HRESULT Subscribe(PropertyChangeCallback callback, void* context) = 0;
  // Stops listening and waits for a running callback to return. S_FALSE when not subscribed.
  virtual HRESULT Unsubscribe() = 0;
};

}  // namespace nexoral

#endif  // NEXORAL_COMPONENTS_MAILBOX_EXCHANGE_ACCESS_INTERFACE_H
