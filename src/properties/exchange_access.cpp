// The mailbox property client: argument arrays in, values out, and the texts administrators
// know for every failure.
#include "properties/exchange_access.h"

#include <exception>
#include <new>
#include <vector>

#include "diagnostics/event_log.h"
#include "diagnostics/log.h"
#include "platform/com_errors.h"
#include "platform/error_codes.h"

namespace nexoral {
namespace {

unsigned Hex(HRESULT hr) { return static_cast<unsigned>(hr); }

constexpr char kNoInstanceText[] = "Null pointer found for ZqExchangeAccess  ";

// Logs and reports an exception of operation; the result the operation returns.
// propertyNumber < 0: the exception came before any property was handled.
HRESULT ReportPropertyException(const char* operation, int propertyNumber) {
  try {
    throw;
  } catch (const _com_error& error) {
    const std::string message = error.ErrorMessage();
    Log("CExchangeAccess::%s got EXCEPTION HR 0x%x, %s for Prop No %d", operation,
        Hex(error.Error()), message.c_str(), propertyNumber);
    ReportText(kReportError, "%s failed with 0x%x %s for Prop No %d", operation, Hex(error.Error()),
               message.c_str(), propertyNumber);
    return error.Error();
  } catch (const CAtlException& error) {
    Log("CExchangeAccess::%s got EXCEPTION HR 0x%x, %s for Prop No %d", operation, Hex(error.m_hr),
        "ATL exception", propertyNumber);
    ReportText(kReportError, "%s failed with 0x%x %s for Prop No %d", operation, Hex(error.m_hr),
               "ATL exception", propertyNumber);
    return error.m_hr;
  } catch (const std::exception& error) {
    Log("CExchangeAccess::%s got STD EXCEPTION %s for Prop No %d", operation, error.what(),
        propertyNumber);
    ReportText(kReportError, "%s failed with STD EXCEPTION %s for Prop No %d", operation,
               error.what(), propertyNumber);
    return kEFail;
  } catch (...) {
    Log("CExchangeAccess::%s got GENERAL EXCEPTION for Prop No %d", operation, propertyNumber);
    ReportText(kReportError, "%s failed with GENERAL EXCEPTION for Prop No %d", operation,
               propertyNumber);
    return kEUnexpected;
  }
}

// Logs and reports an exception of Initialize; the result Initialize returns.
HRESULT ReportInitializeException(int32_t version, int32_t connection, const std::string& ewsUrl) {
  const char* url = ewsUrl.c_str();
  try {
    throw;
  } catch (const _com_error& error) {
    const std::string message = error.ErrorMessage();
    Log("CExchangeAccess::Initialize got EXCEPTION HR 0x%x, %s. Version %d, Connection %d, EWS %s",
        Hex(error.Error()), message.c_str(), version, connection, url);
    ReportText(kReportError, "Initialize failed with 0x%x to access EWS %s. Version %d, Connection %d, EWS %s",
               Hex(error.Error()), message.c_str(), version, connection, url);
    return error.Error();
  } catch (const CAtlException& error) {
    Log("CExchangeAccess::Initialize got EXCEPTION HR 0x%x, %s. Version %d, Connection %d, EWS %s",
        Hex(error.m_hr), "ATL exception", version, connection, url);
    ReportText(kReportError, "Initialize failed with 0x%x to access EWS %s. Version %d, Connection %d, EWS %s",
               Hex(error.m_hr), "ATL exception", version, connection, url);
    return error.m_hr;
  } catch (const std::exception& error) {
    Log("CExchangeAccess::Initialize got STD EXCEPTION %s. Version %d, Connection %d, EWS %s",
        error.what(), version, connection, url);
    ReportText(kReportError, "Initialize failed with STD EXCEPTION %s to access EWS. Version %d, Connection %d, EWS %s",
               error.what(), version, connection, url);
    return kEFail;
  } catch (...) {
    Log("CExchangeAccess::Initialize got GENERAL EXCEPTION. Version %d, Connection %d, EWS %s",
        version, connection, url);
    ReportText(kReportError, "Initialize failed with GENERAL EXCEPTION to access EWS. Version %d, Connection %d, EWS %s",
               version, connection, url);
    return kEUnexpected;
  }
}

// Joins the thread to the multithreaded apartment; a thread in the other kind stays there.
HRESULT JoinApartment() {
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  return hr == RPC_E_CHANGED_MODE ? kSOk : hr;
}

}  // namespace

HRESULT CExchangeAccess::Initialize(int32_t version, int32_t connection, const std::string& ewsUrl,
                                    const std::string& mailbox) {
  try {
    access_.Reset();
    HRESULT hr = JoinApartment();
    if (Succeeded(hr)) hr = CreateComponentInstance(kExchangeAccessComponentName, &access_);
    int32_t returnCode = 0;
    if (Succeeded(hr)) {
      hr = access_->Initialize(version, connection, ewsUrl, mailbox, "", "", "", &returnCode);
    }
    if (Failed(hr)) {
      ReportText(kReportError, "Initialize ExchangeAccess Initialize failed %s HR:0x%x",
                 ewsUrl.c_str(), Hex(hr));
      return hr;
    }
    if (returnCode != 0) {
      int32_t number = 0;
      Log("CExchangeAccess::Initialize failed RC: %d %s", returnCode, LastErrorText(&number).c_str());
      ReportText(kReportError, "Initialize ExchangeAccess Initialize returned a failure code %s RC: %d",
                 ewsUrl.c_str(), returnCode);
      return kEFail;
    }
    return hr;
  } catch (...) {
    return ReportInitializeException(version, connection, ewsUrl);
  }
}

HRESULT CExchangeAccess::GetCustomProperties(CustomPropertyList& props) {
  if (!access_) {
    Log("GetCustomProperties called but has a NULL POINTER to EWS");
    return E_POINTER;
  }
  int propertyNumber = -1;
  try {
    std::vector<std::string> guids;
    std::vector<int32_t> types;
    std::vector<int32_t> ids;
    for (const CustomPropertyDef& prop : props) {
      guids.push_back(prop.Guid);
      types.push_back(prop.Type);
      ids.push_back(prop.ID);
    }
    PropertyValues values;
    int32_t errorCount = 0;
    HRESULT hr = access_->GetCustomProperties(guids, types, ids, &values, &errorCount);
    // Every property must come back with its own entry, hit or miss.
    if (Succeeded(hr) && !props.empty() && !values.empty() && values.size() != props.size()) {
      hr = kEInvalidArg;
    }
    if (Failed(hr) || (values.empty() && !props.empty())) {
      int32_t number = 0;
      const std::string text = LastErrorText(&number);
      Log("GetCustomProperties failed %s. HR: 0x%x, NO: %d", text.c_str(), Hex(hr), number);
      return Failed(hr) ? hr : kEFail;
    }
    if (errorCount != 0) {
      int32_t number = 0;
      const std::string text = LastErrorText(&number);
      Log("GetCustomProperties encountered some errors %s. HR: 0x%x, NO: %d", text.c_str(), Hex(hr),
          number);
    }
    for (propertyNumber = 0; propertyNumber < static_cast<int>(props.size()); ++propertyNumber) {
      std::optional<std::string>& value = values[static_cast<size_t>(propertyNumber)];
      if (value) props[static_cast<size_t>(propertyNumber)].Value = std::move(*value);
    }
    return hr;
  } catch (...) {
    return ReportPropertyException("GetCustomProperties", propertyNumber);
  }
}

HRESULT CExchangeAccess::SetCustomProperties(const CustomPropertyList& props) {
  if (!access_) {
    Log("SetCustomProperties called but has a NULL POINTER to EWS");
    return E_POINTER;
  }
  int propertyNumber = -1;
  try {
    std::vector<int32_t> ids;
    std::vector<std::string> guids;
    std::vector<std::string> values;
    std::vector<int32_t> types;
    for (propertyNumber = 0; propertyNumber < static_cast<int>(props.size()); ++propertyNumber) {
      const CustomPropertyDef& prop = props[static_cast<size_t>(propertyNumber)];
      if (!prop.Loaded) continue;
      Log("SetCustomProperties ID:%d, GUID:%s Val: %s Type: %d Updated: %s", prop.ID,
          prop.Guid.c_str(), prop.Value.c_str(), prop.Type, prop.Loaded ? "TRUE" : "FALSE");
      ids.push_back(prop.ID);
      guids.push_back(prop.Guid);
      values.push_back(prop.Value);
      types.push_back(prop.Type);
    }
    if (ids.empty()) {
      Log("SetCustomProperties got a vector with all properties set to bUpdated = FALSE. No Updates were done");
      return kSOk;
    }
    int32_t errorCount = 0;
    HRESULT hr = access_->SetCustomProperties(ids, guids, values, types, &errorCount);
    if (Succeeded(hr) && errorCount != 0) hr = kEFail;
    if (Failed(hr)) {
      int32_t number = 0;
      const std::string text = LastErrorText(&number);
      Log("SetCustomProperties failed %s. HR: 0x%x, NO: %d", text.c_str(), Hex(hr), number);
    }
    return hr;
  } catch (...) {
    return ReportPropertyException("SetCustomProperties", propertyNumber);
  }
}

HRESULT CExchangeAccess::AnnounceChange() {
  if (!access_) {
    Log("AnnounceChange called but has a NULL POINTER to EWS");
    return E_POINTER;
  }
  const HRESULT hr = access_->AnnounceChange();
  if (Failed(hr)) {
    int32_t number = 0;
    const std::string text = LastErrorText(&number);
    Log("AnnounceChange failed %s. HR: 0x%x, NO: %d", text.c_str(), Hex(hr), number);
  }
  return hr;
}

HRESULT CExchangeAccess::GetErrorInfo(std::string* text, int32_t* number) {
  if (text == nullptr || number == nullptr) return E_POINTER;
  *number = 0;
  try {
    if (!access_) {
      text->append(kNoInstanceText);
      return E_POINTER;
    }
    std::string componentText;
    const HRESULT hr = access_->GetErrorInfo(&componentText, number);
    if (Succeeded(hr)) text->append(componentText);
    return hr;
  } catch (const std::bad_alloc&) {
    return kEOutOfMemory;
  }
}

std::string CExchangeAccess::LastErrorText(int32_t* number) {
  std::string text;
  GetErrorInfo(&text, number);
  return text;
}

}  // namespace nexoral
