// The mailbox property component: instances of IZqExchangeAccess over the store the
// environment names, of IZqPropertyChanges (the change feed), and the factory export that
// creates them. Every entry point checks its arguments and turns any
// exception into a failure result: nothing thrown here reaches the caller.
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "change_feed.h"
#include "exchange_access_interface.h"
#include "mailbox_identity.h"
#include "platform/error_codes.h"
#include "property_store.h"

namespace nexoral::mailbox {
namespace {

bool FitsTextBound(std::string_view text) { return text.size() <= kAccessMaxTextBytes; }

class ExchangeAccess final : public platform::RefCounted<IZqExchangeAccess> {
 public:
  HRESULT Initialize(int32_t /*version*/, int32_t connection, std::string_view ewsUrl,
                     std::string_view mailbox, std::string_view user, std::string_view password,
                     std::string_view domain, int32_t* returnCode) override {
    if (returnCode == nullptr) return E_POINTER;
    *returnCode = 0;
    for (std::string_view text : {ewsUrl, mailbox, user, password, domain}) {
      if (!FitsTextBound(text)) return kEInvalidArg;
    }
    return platform::CallGuarded([&] {
      store_.reset();
      *returnCode = Open(connection, mailbox, !user.empty() || !password.empty() || !domain.empty());
      return kSOk;
    });
  }

  HRESULT GetCustomProperties(const std::vector<std::string>& guids,
                              const std::vector<int32_t>& types, const std::vector<int32_t>& ids,
                              PropertyValues* values, int32_t* errorCount) override {
    if (values == nullptr || errorCount == nullptr) return E_POINTER;
    values->clear();
    *errorCount = 0;
    if (guids.size() != types.size() || guids.size() != ids.size() ||
        guids.size() > kAccessMaxProperties) {
      return kEInvalidArg;
    }
    return platform::CallGuarded([&] { return Read(guids, types, ids, values, errorCount); });
  }

  HRESULT SetCustomProperties(const std::vector<int32_t>& ids, const std::vector<std::string>& guids,
                              const std::vector<std::string>& values,
                              const std::vector<int32_t>& types, int32_t* errorCount) override {
    if (errorCount == nullptr) return E_POINTER;
    *errorCount = 0;
    if (guids.size() != ids.size() || guids.size() != values.size() ||
        guids.size() != types.size() || guids.size() > kAccessMaxProperties) {
      return kEInvalidArg;
    }
    return platform::CallGuarded([&] { return Write(ids, guids, values, types, errorCount); });
  }

  HRESULT AnnounceChange() override {
    return platform::CallGuarded([&] {
      if (store_ == nullptr) return NotInitialized();
      StoreError error;
      return store_->Announce(mailbox_, &error) ? kSOk : StoreFailure(std::move(error));
    });
  }

  HRESULT GetErrorInfo(std::string* text, int32_t* number) override {
    if (text == nullptr || number == nullptr) return E_POINTER;
    return platform::CallGuarded([&] {
      *text = lastError_.text;
      *number = lastError_.number;
      return kSOk;
    });
  }

 private:
  // The return code of Initialize.
  int32_t Open(int32_t connection, std::string_view mailbox, bool credentialsGiven) {
    if (connection != kConnectionCallingUser) {
      return Fail({kAccessErrorConnectionKind, "connection kind " + std::to_string(connection) +
                                                   " is not supported; use 2, the calling user"});
    }
    if (credentialsGiven) {
      return Fail({kAccessErrorCredentials,
                   "explicit credentials are not supported: the store acts as the calling thread"});
    }
    // The mailbox is checked before the store is opened: nothing of a refused one is touched.
    std::string directoryError;
    std::shared_ptr<platform::Directory> directory;
    if (!mailbox.empty()) directory = MailboxDirectory(&directoryError);
    std::string resolved;
    StoreError error;
    if (!ResolveMailbox(mailbox, directory.get(), &resolved, &error)) {
      if (!directoryError.empty()) error.text += " (" + directoryError + ")";
      return Fail(error);
    }
    store_ = OpenPropertyStore(&error);
    if (store_ == nullptr) return Fail(error);
    mailbox_ = std::move(resolved);
    // The caller's cache holds its own mailbox: another one's change is news to it as well.
    audience_ = mailbox.find_first_not_of(" \t") != std::string_view::npos ? ChangeAudience::kEveryone
                                                                           : ChangeAudience::kOthers;
    lastError_ = {};
    return 0;
  }

  HRESULT Read(const std::vector<std::string>& guids, const std::vector<int32_t>& types,
               const std::vector<int32_t>& ids, PropertyValues* values, int32_t* errorCount) {
    if (store_ == nullptr) return NotInitialized();
    std::vector<PropertyKey> keys;
    std::vector<size_t> positions;  // where each valid key's value goes
    for (size_t index = 0; index < guids.size(); ++index) {
      std::optional<std::string> propertySet = CanonicalPropertySet(guids[index]);
      if (!propertySet) {
        InvalidProperty(ids[index], "its property-set GUID \"" + guids[index] + "\" is not a GUID",
                        errorCount);
        continue;
      }
      keys.push_back({std::move(*propertySet), ids[index], types[index]});
      positions.push_back(index);
    }
    PropertyValues found;
    StoreError error;
    if (!store_->Read(mailbox_, keys, &found, &error)) return StoreFailure(error);
    values->assign(guids.size(), std::nullopt);
    for (size_t index = 0; index < positions.size(); ++index) {
      (*values)[positions[index]] = std::move(found[index]);
    }
    return kSOk;
  }

  HRESULT Write(const std::vector<int32_t>& ids, const std::vector<std::string>& guids,
                const std::vector<std::string>& values, const std::vector<int32_t>& types,
                int32_t* errorCount) {
    if (store_ == nullptr) return NotInitialized();
    std::vector<PropertyWrite> writes;
    for (size_t index = 0; index < guids.size(); ++index) {
      std::optional<std::string> propertySet = CanonicalPropertySet(guids[index]);
      if (!propertySet) {
        InvalidProperty(ids[index], "its property-set GUID \"" + guids[index] + "\" is not a GUID",
                        errorCount);
      } else if (values[index].size() > kAccessMaxValueBytes) {
        InvalidProperty(ids[index], "its value is longer than " +
                                        std::to_string(kAccessMaxValueBytes) + " bytes",
                        errorCount);
      } else {
        writes.push_back({{std::move(*propertySet), ids[index], types[index]}, values[index]});
      }
    }
    if (*errorCount > 0) return kSOk;  // the caller learns from the count; nothing was stored
    StoreError error;
    if (!store_->Write(mailbox_, writes, audience_, &error)) return StoreFailure(error);
    return kSOk;
  }

  int32_t Fail(StoreError error) {
    lastError_ = std::move(error);
    return lastError_.number;
  }
  HRESULT NotInitialized() {
    Fail({kAccessErrorNotInitialized, "the component is not initialized: Initialize has not succeeded"});
    return kAccessENotInitialized;
  }
  HRESULT StoreFailure(StoreError error) {
    Fail(std::move(error));
    return kAccessEStore;
  }
  // Counts an invalid property; the first one of a call names the error.
  void InvalidProperty(int32_t id, const std::string& reason, int32_t* errorCount) {
    if ((*errorCount)++ == 0) Fail({kAccessErrorInvalidProperty, "property " + std::to_string(id) + ": " + reason});
  }

  std::unique_ptr<PropertyStore> store_;
  std::string mailbox_;
  ChangeAudience audience_ = ChangeAudience::kOthers;
  StoreError lastError_;
};

}  // namespace
}  // namespace nexoral::mailbox

extern "C" HRESULT CreateComponentInstance(const char* interfaceId, void** instance) {
  using namespace nexoral;
  const HRESULT hr =
      platform::CreateInstanceOf<IZqExchangeAccess, mailbox::ExchangeAccess>(interfaceId, instance);
  if (hr != E_NOINTERFACE) return hr;
  return platform::CreateInstanceOf<IZqPropertyChanges, mailbox::ChangeFeed>(interfaceId, instance);
}

static_assert(std::is_same_v<decltype(&CreateComponentInstance),
                             nexoral::platform::ComponentFactoryFunction>);
