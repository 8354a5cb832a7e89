// The in-memory server side of the filter interface.
#include "harness/fake_connection.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "host/request_context.h"
#include "nexoral/filter_context.h"
#include "platform/error_codes.h"

namespace nexoral::testing {
namespace {

char FoldCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsIgnoringCase(const std::string& left, const std::string& right) {
  return left.size() == right.size() &&
         std::equal(left.begin(), left.end(), right.begin(),
                    [](char a, char b) { return FoldCase(a) == FoldCase(b); });
}

// "User-Agent" and "USER_AGENT" name the same header in a server variable.
std::string VariableForm(const std::string& headerName) {
  std::string form;
  for (char c : headerName) form += c == '-' ? '_' : FoldCase(c);
  return form;
}

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// Unknown names fail with ERROR_INVALID_INDEX and leave *size alone.
BOOL CopyFoundValue(const std::optional<std::string>& value, void* buffer, DWORD* size) {
  return value ? CopyValueOut(*value, buffer, size) : Fail(kErrorInvalidIndex);
}

std::string WithoutColon(const std::string& name) {
  return !name.empty() && name.back() == ':' ? name.substr(0, name.size() - 1) : name;
}

}  // namespace

bool CaseInsensitiveLess::operator()(const std::string& left, const std::string& right) const {
  return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end(),
                                      [](char a, char b) { return FoldCase(a) < FoldCase(b); });
}

std::optional<std::string> HeaderFields::Get(const std::string& name) const {
  for (const auto& [field, value] : lines_) {
    if (EqualsIgnoringCase(field, name)) return value;
  }
  return std::nullopt;
}

void HeaderFields::Set(const std::string& name, const std::string& value) {
  Remove(name);
  Add(name, value);
}

void HeaderFields::Add(const std::string& name, const std::string& value) {
  lines_.emplace_back(name, value);
}

void HeaderFields::Remove(const std::string& name) {
  std::erase_if(lines_, [&](const auto& line) { return EqualsIgnoringCase(line.first, name); });
}

BOOL CopyValueOut(const std::string& value, void* buffer, DWORD* size) {
  if (size == nullptr) return Fail(kErrorInvalidParameter);
  const DWORD needed = static_cast<DWORD>(value.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return Fail(kErrorInsufficientBuffer);
  }
  std::memcpy(buffer, value.c_str(), needed);
  *size = needed;
  return TRUE;
}

FakeConnection::FakeConnection() {
  pfc_.cbSize = sizeof(pfc_);
  pfc_.Revision = NEXORAL_CONTRACT_VERSION;
  pfc_.ServerContext = this;
  pfc_.GetServerVariable = GetServerVariableThunk;
  pfc_.AddResponseHeaders = AddResponseHeadersThunk;
  pfc_.WriteClient = WriteClientThunk;
  pfc_.ServerSupportFunction = ServerSupportFunctionThunk;
}

FakeConnection::~FakeConnection() {
  DeleteFilterContext(static_cast<CFilterContext*>(pfc_.pFilterContext));
}

FakeConnection& FakeConnection::Of(HTTP_FILTER_CONTEXT* pfc) {
  return *static_cast<FakeConnection*>(pfc->ServerContext);
}

std::optional<std::string> FakeConnection::FindServerVariable(const std::string& name) const {
  auto found = serverVariables.find(name);
  if (found != serverVariables.end()) return found->second;
  if (name.size() > 5 && VariableForm(name.substr(0, 5)) == "HTTP_") {
    const std::string wanted = VariableForm(name.substr(5));
    for (const auto& [field, value] : requestHeaders.Lines()) {
      if (VariableForm(field) == wanted) return value;
    }
  }
  return std::nullopt;
}

std::optional<std::string> FakeConnection::FindHeader(const std::string& nameWithColon) const {
  const std::string name = WithoutColon(nameWithColon);
  if (activeHeaders_ == nullptr) return std::nullopt;
  return activeHeaders_->Get(name);
}

void FakeConnection::SetActiveHeader(const std::string& nameWithColon, const std::string& value,
                                     bool add) {
  const std::string name = WithoutColon(nameWithColon);
  if (add) {
    activeHeaders_->Add(name, value);
  } else if (value.empty()) {
    activeHeaders_->Remove(name);
  } else {
    activeHeaders_->Set(name, value);
  }
}

BOOL FakeConnection::GetServerVariableThunk(HTTP_FILTER_CONTEXT* pfc, const char* name,
                                            void* buffer, DWORD* size) {
  if (pfc == nullptr || name == nullptr) return Fail(kErrorInvalidParameter);
  return CopyFoundValue(Of(pfc).FindServerVariable(name), buffer, size);
}

BOOL FakeConnection::AddResponseHeadersThunk(HTTP_FILTER_CONTEXT* pfc, const char* headers, DWORD) {
  if (pfc == nullptr || headers == nullptr) return Fail(kErrorInvalidParameter);
  Of(pfc).addedResponseHeaders += headers;
  return TRUE;
}

BOOL FakeConnection::WriteClientThunk(HTTP_FILTER_CONTEXT* pfc, const void* buffer, DWORD* bytes,
                                      DWORD) {
  if (pfc == nullptr || bytes == nullptr || (buffer == nullptr && *bytes != 0)) {
    return Fail(kErrorInvalidParameter);
  }
  FakeConnection& connection = Of(pfc);
  if (connection.throwInWriteClient) throw std::runtime_error("connection reset by test");
  if (connection.failWriteClient) return Fail(kErrorNoData);
  connection.clientWrites.emplace_back(static_cast<const char*>(buffer), *bytes);
  return TRUE;
}

BOOL FakeConnection::ServerSupportFunctionThunk(HTTP_FILTER_CONTEXT* pfc, SF_REQ_TYPE request,
                                                void* pData, ULONG_PTR ul1, ULONG_PTR ul2) {
  if (pfc == nullptr) return Fail(kErrorInvalidParameter);
  if (Of(pfc).failSupportFunction) return Fail(kErrorNoData);
  const char* status = static_cast<const char*>(pData);
  const char* headers = reinterpret_cast<const char*>(ul1);
  Of(pfc).supportCalls.push_back(
      SupportCall{request, status != nullptr ? status : "", headers != nullptr ? headers : "", ul2});
  return TRUE;
}

BOOL FakeConnection::GetHeaderThunk(HTTP_FILTER_CONTEXT* pfc, const char* name, void* buffer,
                                    DWORD* size) {
  if (pfc == nullptr || name == nullptr) return Fail(kErrorInvalidParameter);
  return CopyFoundValue(Of(pfc).FindHeader(name), buffer, size);
}

BOOL FakeConnection::ChangeHeader(HTTP_FILTER_CONTEXT* pfc, const char* name, const char* value,
                                  bool add) {
  if (pfc == nullptr || name == nullptr || value == nullptr || Of(pfc).activeHeaders_ == nullptr) {
    return Fail(kErrorInvalidParameter);
  }
  Of(pfc).SetActiveHeader(name, value, add);
  return TRUE;
}

BOOL FakeConnection::SetHeaderThunk(HTTP_FILTER_CONTEXT* pfc, const char* name, const char* value) {
  return ChangeHeader(pfc, name, value, false);
}

BOOL FakeConnection::AddHeaderThunk(HTTP_FILTER_CONTEXT* pfc, const char* name, const char* value) {
  return ChangeHeader(pfc, name, value, true);
}

BOOL FakeConnection::GetUserTokenThunk(HTTP_FILTER_CONTEXT* pfc, HANDLE* token) {
  if (pfc == nullptr || token == nullptr) return Fail(kErrorInvalidParameter);
  *token = Of(pfc).userToken;
  return *token != nullptr ? TRUE : Fail(kErrorNoToken);
}

DWORD FakeConnection::PreprocHeaders(const FilterProc& filter) {
  return Deliver(filter, SF_NOTIFY_PREPROC_HEADERS);
}
DWORD FakeConnection::AuthComplete(const FilterProc& filter) {
  return Deliver(filter, SF_NOTIFY_AUTH_COMPLETE);
}
DWORD FakeConnection::SendResponse(const FilterProc& filter) {
  return Deliver(filter, SF_NOTIFY_SEND_RESPONSE);
}
DWORD FakeConnection::SendRawData(const FilterProc& filter, const std::string& block) {
  rawBlock_ = block;
  return Deliver(filter, SF_NOTIFY_SEND_RAW_DATA);
}
DWORD FakeConnection::EndOfRequest(const FilterProc& filter) {
  return Deliver(filter, SF_NOTIFY_END_OF_REQUEST);
}
DWORD FakeConnection::EndOfNetSession(const FilterProc& filter) {
  return Deliver(filter, SF_NOTIFY_END_OF_NET_SESSION);
}

DWORD FakeConnection::Deliver(const FilterProc& filter, DWORD notificationType) {
  HTTP_FILTER_PREPROC_HEADERS headers{GetHeaderThunk, SetHeaderThunk, AddHeaderThunk, 0, 0};
  HTTP_FILTER_AUTH_COMPLETE_INFO auth{GetHeaderThunk, SetHeaderThunk, AddHeaderThunk,
                                      GetUserTokenThunk, 0, FALSE, 0};
  void* record = nullptr;
  activeHeaders_ = nullptr;
  switch (notificationType) {
    case SF_NOTIFY_PREPROC_HEADERS:
      activeHeaders_ = &requestHeaders;
      record = &headers;
      break;
    case SF_NOTIFY_AUTH_COMPLETE:
      activeHeaders_ = &requestHeaders;
      record = &auth;
      break;
    case SF_NOTIFY_SEND_RESPONSE:
      activeHeaders_ = &responseHeaders;
      headers.HttpStatus = responseStatus;
      record = &headers;
      break;
    case SF_NOTIFY_SEND_RAW_DATA:
    case SF_NOTIFY_READ_RAW_DATA:
      rawData = HTTP_FILTER_RAW_DATA{rawBlock_.data(), static_cast<DWORD>(rawBlock_.size()),
                                     static_cast<DWORD>(rawBlock_.size()), 0};
      record = &rawData;
      break;
    default:
      break;
  }
  const DWORD status = filter(&pfc_, notificationType, record);
  activeHeaders_ = nullptr;
  return status;
}

}  // namespace nexoral::testing
