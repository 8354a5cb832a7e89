// CExchangeAccess: the client of the mailbox property component "ZqExchangeAccess". One client
// serves one custom-property operation on one thread: Initialize, then a read or a write, and
// GetErrorInfo after a failure. It holds the component instance until it goes or is
// initialised again. Failures are logged (and the serious ones reported to the event log) and
// come back as HRESULTs; no exception leaves an operation.
#ifndef NEXORAL_PROPERTIES_EXCHANGE_ACCESS_H
#define NEXORAL_PROPERTIES_EXCHANGE_ACCESS_H

#include <cstdint>
#include <string>

#include "mailbox/exchange_access_interface.h"
#include "nexoral/custom_property.h"
#include "nexoral/win_types.h"
#include "platform/component_factory.h"

namespace nexoral {

class CExchangeAccess {
 public:
  // Makes a new instance (releasing an earlier one) for the mailbox (empty: the calling
  // thread's user). A non-zero return code of the component gives E_FAIL.
  HRESULT Initialize(int32_t version, int32_t connection, const std::string& ewsUrl,
                     const std::string& mailbox);
  // Reads every property of props, in list order, into its Value. A property the mailbox never
  // stored keeps the Value it had (the declared default the caller put there).
  HRESULT GetCustomProperties(CustomPropertyList& props);
  // Stores the properties of props whose Loaded flag is set. A non-zero error count of the
  // component gives E_FAIL.
  HRESULT SetCustomProperties(const CustomPropertyList& props);
  // Tells the other front ends sharing the store that the mailbox changed; failures are logged.
  HRESULT AnnounceChange();
  // Appends the component's last error text to *text and sets *number; without an instance
  // appends "Null pointer found for ZqExchangeAccess  " and fails.
  HRESULT GetErrorInfo(std::string* text, int32_t* number);

 private:
  // The component's last error as "text" and number, for the failure lines.
  std::string LastErrorText(int32_t* number);

  platform::ComPtr<IZqExchangeAccess> access_;
};

}  // namespace nexoral

#endif  // NEXORAL_PROPERTIES_EXCHANGE_ACCESS_H
