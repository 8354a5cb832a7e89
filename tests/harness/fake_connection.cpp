// The in-memory server side of the filter interface.
#include "harness/fake_connection.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "host/request_context.h"
#include "nexoral/filter_context.h"
#include "platform/ascii_text.h"
#include "platform/error_codes.h"

namespace nexoral::testing {
namespace {

// "User-Agent" and "user_agent" name the same header in a server variable.
std::string VariableForm(const std::string& name) {
  std::string form = platform::AsciiLower(name);
  std::replace(form.begin(), form.end(), '-', '_');
  return form;
}

bool SameName(const std::string& left, const std::string& right) {
  return VariableForm(left) == VariableForm(right);
}

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// The buffer protocol: the value and its NUL when *size allows, else the size needed. Unknown
// names fail with ERROR_INVALID_INDEX and leave *size alone.
BOOL CopyOut(const std::optional<std::string>& value, void* buffer, DWORD* size) {
  if (size == nullptr) return Fail(kErrorInvalidParameter);
  if (!value) return Fail(kErrorInvalidIndex);
  const DWORD needed = static_cast<DWORD>(value->size() + 1);
  const bool fits = buffer != nullptr && *size >= needed;
  *size = needed;
  if (!fits) return Fail(kErrorInsufficientBuffer);
  std::memcpy(buffer, value->c_str(), needed);
  return TRUE;
}

FakeConnection& Of(HTTP_FILTER_CONTEXT* pfc) { return *static_cast<FakeConnection*>(pfc->ServerContext); }

std::string WithoutColon(std::string name) { return name.substr(0, name.find(':')); }

}  // namespace

std::optional<std::string> HeaderFields::Get(const std::string& name) const {
  for (const auto& [field, value] : lines_) {
    if (SameName(field, name)) return value;
  }
  return std::nullopt;
}

void HeaderFields::Set(const std::string& name, const std::string& value) {
  Remove(name);
  Add(name, value);
}

void HeaderFields::Remove(const std::string& name) {
  std::erase_if(lines_, [&](const auto& line) { return SameName(line.first, name); });
}

FakeConnection::FakeConnection() {
  pfc_.cbSize = sizeof(pfc_);
  pfc_.Revision = NEXORAL_CONTRACT_VERSION;
  pfc_.ServerContext = this;
  pfc_.GetServerVariable = [](HTTP_FILTER_CONTEXT* pfc, const char* name, void* buffer, DWORD* size) {
    std::optional<std::string> value;
    for (const auto& [variable, text] : Of(pfc).serverVariables) {
      if (SameName(variable, name)) value = text;
    }
    if (!value && VariableForm(name).rfind("http_", 0) == 0) {
      value = Of(pfc).requestHeaders.Get(std::string(name).substr(5));
    }
    return CopyOut(value, buffer, size);
  };
  pfc_.WriteClient = [](HTTP_FILTER_CONTEXT* pfc, const void* buffer, DWORD* bytes, DWORD) {
    FakeConnection& connection = Of(pfc);
    if (connection.throwInWriteClient) throw std::runtime_error("connection reset by test");
    if (connection.failWriteClient) return Fail(kErrorNoData);
    connection.clientWrites.emplace_back(static_cast<const char*>(buffer), *bytes);
    return TRUE;
  };
  pfc_.ServerSupportFunction = [](HTTP_FILTER_CONTEXT* pfc, SF_REQ_TYPE request, void* pData,
                                  ULONG_PTR ul1, ULONG_PTR) {
    if (Of(pfc).failSupportFunction) return Fail(kErrorNoData);
    Of(pfc).supportCalls.push_back(
        SupportCall{request, static_cast<const char*>(pData), reinterpret_cast<const char*>(ul1)});
    return TRUE;
  };
}

FakeConnection::~FakeConnection() {
  DeleteFilterContext(static_cast<CFilterContext*>(pfc_.pFilterContext));
  if (userToken_ != nullptr) platform::CloseAccessToken(userToken_);
}

DWORD FakeConnection::Deliver(const FilterProc& filter, DWORD notificationType) {
  auto getHeader = [](HTTP_FILTER_CONTEXT* pfc, const char* name, void* buffer, DWORD* size) {
    const HeaderFields* headers = Of(pfc).activeHeaders_;
    return CopyOut(headers ? headers->Get(WithoutColon(name)) : std::nullopt, buffer, size);
  };
  auto setHeader = [](HTTP_FILTER_CONTEXT* pfc, const char* name, const char* value) {
    if (value[0] == '\0') {
      Of(pfc).activeHeaders_->Remove(WithoutColon(name));
    } else {
      Of(pfc).activeHeaders_->Set(WithoutColon(name), value);
    }
    return TRUE;
  };
  auto addHeader = [](HTTP_FILTER_CONTEXT* pfc, const char* name, const char* value) {
    Of(pfc).activeHeaders_->Add(WithoutColon(name), value);
    return TRUE;
  };
  HTTP_FILTER_PREPROC_HEADERS headers{getHeader, setHeader, addHeader, 200, 0};
  auto getUserToken = [](HTTP_FILTER_CONTEXT* pfc, HANDLE* token) {
    FakeConnection& connection = Of(pfc);
    if (!connection.user) return Fail(kErrorNoToken);
    if (connection.userToken_ == nullptr) connection.userToken_ = platform::CreateAccessToken(*connection.user);
    *token = connection.userToken_;
    return TRUE;
  };
  HTTP_FILTER_AUTH_COMPLETE_INFO auth{getHeader, setHeader, addHeader, getUserToken, 0, FALSE, 0};
  HTTP_FILTER_RAW_DATA raw{rawBlock_.data(), static_cast<DWORD>(rawBlock_.size()),
                           static_cast<DWORD>(rawBlock_.size()), 0};
  void* record = nullptr;
  activeHeaders_ = &requestHeaders;
  if (notificationType == SF_NOTIFY_PREPROC_HEADERS) record = &headers;
  if (notificationType == SF_NOTIFY_AUTH_COMPLETE) record = &auth;
  if (notificationType == SF_NOTIFY_SEND_RAW_DATA) record = &raw;
  if (notificationType == SF_NOTIFY_SEND_RESPONSE) {
    activeHeaders_ = &responseHeaders;
    headers.HttpStatus = responseStatus;
    record = &headers;
  }
  const DWORD status = filter(&pfc_, notificationType, record);
  activeHeaders_ = nullptr;
  return status;
}

}  // namespace nexoral::testing
