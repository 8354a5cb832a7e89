// Notification delivery and the server callbacks of one connection.
#include "filter_connection.h"

#include <cstring>

#include "header_access.h"
#include "platform/error_codes.h"
#include "text_util.h"

namespace nexoral::server {
namespace {

// Bytes a single WriteClient may hand over; a larger count is a filter bug, not data.
constexpr DWORD kMaxWriteClientBytes = 64u * 1024 * 1024;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// "302 Object Moved": a three-digit code, then an optional reason without controls.
std::optional<unsigned> StatusCodeOf(std::string_view status) {
  if (status.size() < 3 || !IsSafeHeaderValue(status)) return std::nullopt;
  unsigned code = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (status[i] < '0' || status[i] > '9') return std::nullopt;
    code = code * 10 + static_cast<unsigned>(status[i] - '0');
  }
  if (code < 100 || (status.size() > 3 && status[3] != ' ')) return std::nullopt;
  return code;
}

std::string FieldsText(const http::fields& fields) {
  std::string text;
  for (const auto& field : fields) {
    text.append(field.name_string().data(), field.name_string().size()).append(": ");
    text.append(field.value().data(), field.value().size()).append("\r\n");
  }
  return text;
}

}  // namespace

FilterVerdict VerdictOf(DWORD status) {
  switch (status) {
    case SF_STATUS_REQ_FINISHED:
      return FilterVerdict::kFinishedClose;
    case SF_STATUS_REQ_FINISHED_KEEP_CONN:
      return FilterVerdict::kFinishedKeepConn;
    case SF_STATUS_REQ_ERROR:
      return FilterVerdict::kError;
    case SF_STATUS_REQ_NEXT_NOTIFICATION:
    case SF_STATUS_REQ_HANDLED_NOTIFICATION:
    case SF_STATUS_REQ_READ_NEXT:
      return FilterVerdict::kContinue;
  }
  // Any other value is not a status; the request goes on as if the filter had passed.
  return FilterVerdict::kContinue;
}

BOOL CopyValueToFilter(const std::string& value, void* buffer, DWORD* size) {
  const size_t needed = value.size() + 1;
  if (needed > UINT32_MAX) return Fail(kErrorInvalidData);
  if (buffer == nullptr || *size < needed) {
    *size = static_cast<DWORD>(needed);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, value.c_str(), needed);
  *size = static_cast<DWORD>(needed);
  return TRUE;
}

FilterConnection::FilterConnection(const FilterHost* host, ConnectionFacts connection)
    : host_(host), connection_(std::move(connection)) {
  pfc_.cbSize = sizeof(HTTP_FILTER_CONTEXT);
  pfc_.Revision = NEXORAL_CONTRACT_VERSION;
  pfc_.ServerContext = this;
  pfc_.fIsSecurePort = connection_.secure ? TRUE : FALSE;
  pfc_.GetServerVariable = GetServerVariableThunk;
  pfc_.AddResponseHeaders = AddResponseHeadersThunk;
  pfc_.WriteClient = WriteClientThunk;
  pfc_.ServerSupportFunction = ServerSupportFunctionThunk;
}

FilterConnection::~FilterConnection() {
  if (userToken_ != nullptr) platform::CloseAccessToken(userToken_);
}

void FilterConnection::BeginRequest(const http::request_header<>& header,
                                    std::string receivedTarget) {
  request_ = RequestFacts{};
  request_.header = &header;
  request_.receivedTarget = std::move(receivedTarget);
  inRequest_ = true;
  variableKept_ = false;
  addedHeaders_.clear();
  filterStatus_ = 0;
  headSent_ = false;
}

DWORD FilterConnection::Deliver(DWORD notificationType, void* data) {
  if (!Wants(notificationType)) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  variableKept_ = false;
  const DWORD status = host_->Notify(&pfc_, notificationType, data);
  variableKept_ = false;
  FlushFilterResponse();
  return status;
}

DWORD FilterConnection::PreprocHeaders(http::request_header<>& request) {
  HTTP_FILTER_PREPROC_HEADERS record{GetHeaderThunk, SetHeaderThunk, AddHeaderThunk, 0, 0};
  activeRequest_ = &request;
  const DWORD status = Deliver(SF_NOTIFY_PREPROC_HEADERS, &record);
  activeRequest_ = nullptr;
  return status;
}

DWORD FilterConnection::AuthComplete(http::request_header<>& request,
                                     const platform::TokenIdentity& identity) {
  if (userToken_ != nullptr) platform::CloseAccessToken(userToken_);
  userToken_ = nullptr;
  userIdentity_ = &identity;
  HTTP_FILTER_AUTH_COMPLETE_INFO record{GetHeaderThunk, SetHeaderThunk, AddHeaderThunk,
                                        GetUserTokenThunk, 0, FALSE, 0};
  activeRequest_ = &request;
  const DWORD status = Deliver(SF_NOTIFY_AUTH_COMPLETE, &record);
  activeRequest_ = nullptr;
  return status;
}

DWORD FilterConnection::SendResponse(http::response_header<>& response) {
  HTTP_FILTER_SEND_RESPONSE record{GetHeaderThunk, SetHeaderThunk, AddHeaderThunk,
                                   response.result_int(), 0};
  activeResponse_ = &response;
  const DWORD status = Deliver(SF_NOTIFY_SEND_RESPONSE, &record);
  activeResponse_ = nullptr;
  return status;
}

DWORD FilterConnection::SendRawData(std::string& block) {
  if (!Wants(SF_NOTIFY_SEND_RAW_DATA) || block.empty()) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  const size_t original = block.size();
  if (original > UINT32_MAX) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  HTTP_FILTER_RAW_DATA record{block.data(), static_cast<DWORD>(original),
                              static_cast<DWORD>(original), 0};
  const DWORD status = Deliver(SF_NOTIFY_SEND_RAW_DATA, &record);
  const char* left = static_cast<const char*>(record.pvInData);
  const char* ours = block.data();
  if (left == nullptr || record.cbInData == 0) {
    block.clear();
  } else if (left >= ours && left < ours + original) {
    // Still (part of) our block: never read past what we handed over.
    const size_t offset = static_cast<size_t>(left - ours);
    block = block.substr(offset, std::min<size_t>(record.cbInData, original - offset));
  } else {
    block.assign(left, record.cbInData);  // the filter's own buffer, valid until its next call
  }
  return status;
}

DWORD FilterConnection::EndOfRequest() {
  const DWORD status = Deliver(SF_NOTIFY_END_OF_REQUEST, nullptr);
  if (userToken_ != nullptr) platform::CloseAccessToken(userToken_);
  userToken_ = nullptr;
  userIdentity_ = nullptr;
  inRequest_ = false;
  variableKept_ = false;
  return status;
}

DWORD FilterConnection::EndOfNetSession() {
  clientGone_ = true;
  const DWORD status = Deliver(SF_NOTIFY_END_OF_NET_SESSION, nullptr);
  request_.header = nullptr;  // the request the variables described is gone
  return status;
}

void FilterConnection::AppendClientOutput(std::string& out) {
  FlushFilterResponse();
  if (clientOutput_.empty()) return;
  out.append(clientOutput_);
  clientOutput_.clear();
}

http::fields FilterConnection::TakeAddedResponseHeaders() { return std::move(addedHeaders_); }

void FilterConnection::FlushFilterResponse() {
  if (!filterHead_) return;
  std::string head = std::move(*filterHead_);
  filterHead_.reset();
  // The filter gave no length: frame the response by what it wrote after the head, so the
  // client can tell where it ends and the connection can carry on.
  head.append("Content-Length: " + std::to_string(filterBody_.size()) + "\r\n");
  clientOutput_.append(head).append("\r\n").append(filterBody_);
  filterBody_.clear();
}

// ---- Callbacks ----

FilterConnection* FilterConnection::Of(HTTP_FILTER_CONTEXT* pfc) {
  if (pfc == nullptr || pfc->ServerContext == nullptr) return nullptr;
  return static_cast<FilterConnection*>(pfc->ServerContext);
}

BOOL FilterConnection::GetServerVariableThunk(HTTP_FILTER_CONTEXT* pfc, const char* name,
                                              void* buffer, DWORD* size) noexcept {
  try {
    FilterConnection* self = Of(pfc);
    if (self == nullptr || name == nullptr || size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (!self->variableKept_ || self->variableName_ != name) {
      const RequestFacts* request = self->inRequest_ ? &self->request_ : nullptr;
      if (!self->inRequest_ && self->request_.header != nullptr) request = &self->request_;
      std::optional<std::string> value = FindServerVariable(self->connection_, request, name);
      self->variableName_.assign(name);
      self->variableFound_ = value.has_value();
      if (value) self->variableValue_.swap(*value);
      self->variableKept_ = true;
    }
    if (!self->variableFound_) return Fail(ERROR_INVALID_INDEX);
    return CopyValueToFilter(self->variableValue_, buffer, size);
  } catch (...) {
    return Fail(kErrorNotEnoughMemory);
  }
}

BOOL FilterConnection::GetHeaderThunk(HTTP_FILTER_CONTEXT* pfc, const char* name, void* buffer,
                                      DWORD* size) noexcept {
  try {
    FilterConnection* self = Of(pfc);
    if (self == nullptr || name == nullptr || size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    std::optional<std::string> value;
    if (self->activeRequest_ != nullptr) {
      value = GetFilterHeader(*self->activeRequest_, name);
    } else if (self->activeResponse_ != nullptr) {
      value = GetFilterHeader(*self->activeResponse_, name);
    } else {
      return Fail(ERROR_NO_DATA);  // the notification that offered the headers is over
    }
    if (!value) return Fail(ERROR_INVALID_INDEX);
    return CopyValueToFilter(*value, buffer, size);
  } catch (...) {
    return Fail(kErrorNotEnoughMemory);
  }
}

BOOL FilterConnection::ChangeHeader(HTTP_FILTER_CONTEXT* pfc, const char* name,
                                    const char* value, bool add) noexcept {
  try {
    FilterConnection* self = Of(pfc);
    if (self == nullptr || name == nullptr || value == nullptr) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    self->variableKept_ = false;  // variables follow the headers
    if (self->activeRequest_ != nullptr) {
      return SetFilterHeader(*self->activeRequest_, name, value, add) ? TRUE : FALSE;
    }
    if (self->activeResponse_ != nullptr) {
      return SetFilterHeader(*self->activeResponse_, name, value, add) ? TRUE : FALSE;
    }
    return Fail(ERROR_NO_DATA);
  } catch (...) {
    return Fail(kErrorNotEnoughMemory);
  }
}

BOOL FilterConnection::SetHeaderThunk(HTTP_FILTER_CONTEXT* pfc, const char* name,
                                      const char* value) noexcept {
  return ChangeHeader(pfc, name, value, false);
}

BOOL FilterConnection::AddHeaderThunk(HTTP_FILTER_CONTEXT* pfc, const char* name,
                                      const char* value) noexcept {
  return ChangeHeader(pfc, name, value, true);
}

BOOL FilterConnection::GetUserTokenThunk(HTTP_FILTER_CONTEXT* pfc, HANDLE* token) noexcept {
  FilterConnection* self = Of(pfc);
  if (self == nullptr || token == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (self->userToken_ == nullptr && self->userIdentity_ != nullptr) {
    try {
      self->userToken_ = platform::CreateAccessToken(*self->userIdentity_);
    } catch (...) {
      return Fail(kErrorNotEnoughMemory);
    }
  }
  if (self->userToken_ == nullptr) return Fail(kErrorNoToken);
  *token = self->userToken_;
  return TRUE;
}

BOOL FilterConnection::WriteClientThunk(HTTP_FILTER_CONTEXT* pfc, const void* buffer,
                                        DWORD* bytes, DWORD reserved) noexcept {
  try {
    FilterConnection* self = Of(pfc);
    if (self == nullptr || bytes == nullptr || reserved != 0) return Fail(ERROR_INVALID_PARAMETER);
    return self->WriteClient(buffer, bytes);
  } catch (...) {
    return Fail(kErrorNotEnoughMemory);
  }
}

BOOL FilterConnection::WriteClient(const void* buffer, DWORD* bytes) {
  if (clientGone_) return Fail(ERROR_NO_DATA);
  if (*bytes == 0) return TRUE;
  if (buffer == nullptr || *bytes > kMaxWriteClientBytes) return Fail(ERROR_INVALID_PARAMETER);
  std::string& target = filterHead_ ? filterBody_ : clientOutput_;
  target.append(static_cast<const char*>(buffer), *bytes);
  return TRUE;
}

BOOL FilterConnection::AddResponseHeadersThunk(HTTP_FILTER_CONTEXT* pfc, const char* headers,
                                               DWORD) noexcept {
  try {
    FilterConnection* self = Of(pfc);
    if (self == nullptr || headers == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return self->AddResponseHeaders(headers);
  } catch (...) {
    return Fail(kErrorNotEnoughMemory);
  }
}

BOOL FilterConnection::AddResponseHeaders(const char* headers) {
  if (headSent_ || !inRequest_) return Fail(ERROR_NO_DATA);
  const std::optional<http::fields> fields = ParseFilterHeaderLines(headers);
  if (!fields) return Fail(ERROR_INVALID_PARAMETER);
  http::fields& target =
      activeResponse_ != nullptr ? static_cast<http::fields&>(*activeResponse_) : addedHeaders_;
  for (const auto& field : *fields) target.insert(field.name_string(), field.value());
  return TRUE;
}

BOOL FilterConnection::ServerSupportFunctionThunk(HTTP_FILTER_CONTEXT* pfc, SF_REQ_TYPE request,
                                                  void* pData, ULONG_PTR ul1, ULONG_PTR) noexcept {
  try {
    FilterConnection* self = Of(pfc);
    if (self == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    switch (request) {
      case SF_REQ_SEND_RESPONSE_HEADER:
        return self->SendResponseHeader(static_cast<const char*>(pData),
                                        reinterpret_cast<const char*>(ul1));
    }
    return Fail(ERROR_INVALID_PARAMETER);  // a request this server does not offer
  } catch (...) {
    return Fail(kErrorNotEnoughMemory);
  }
}

BOOL FilterConnection::SendResponseHeader(const char* status, const char* headers) {
  if (clientGone_ || headSent_) return Fail(ERROR_NO_DATA);
  const std::string statusText = status != nullptr ? status : "200 OK";
  const std::optional<unsigned> code = StatusCodeOf(statusText);
  if (!code) return Fail(ERROR_INVALID_PARAMETER);
  const std::optional<http::fields> fields = ParseFilterHeaderLines(headers ? headers : "");
  if (!fields) return Fail(ERROR_INVALID_PARAMETER);
  FlushFilterResponse();
  std::string head = "HTTP/1.1 " + statusText + "\r\n" + FieldsText(*fields);
  std::string lowered = AsciiLower(head);
  filterHead_ = head;
  if (lowered.find("\r\ncontent-length:") != std::string::npos ||
      lowered.find("\r\ntransfer-encoding:") != std::string::npos) {
    clientOutput_.append(head).append("\r\n");  // framed by the filter itself
    filterHead_.reset();
  }
  filterStatus_ = *code;
  headSent_ = true;
  return TRUE;
}

}  // namespace nexoral::server
