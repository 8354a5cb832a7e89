// The server side of the filter interface for one client connection: the HTTP_FILTER_CONTEXT
// with its pFilterContext kept from one request to the next, the callbacks the filter calls
// (server variables, headers, WriteClient, AddResponseHeaders, ServerSupportFunction, the user
// token) and the delivery of each notification the filter asked for. Owned by the connection's
// session and used only on its strand, so one connection's notifications run one at a time.
// No exception leaves a callback: the filter sees FALSE and a last error instead.
#ifndef NEXORAL_SERVER_FILTER_CONNECTION_H
#define NEXORAL_SERVER_FILTER_CONNECTION_H

#include <optional>
#include <string>

#include "filter_host.h"
#include "net.h"
#include "nexoral/filter_interface.h"
#include "platform/thread_token.h"
#include "server_variables.h"

namespace nexoral::server {

// What the session does after a notification, from the status the filter returned.
enum class FilterVerdict {
  kContinue,          // serve the request on (NEXT_NOTIFICATION, HANDLED_NOTIFICATION, ...)
  kFinishedKeepConn,  // the filter answered the request; the connection stays open
  kFinishedClose,     // the filter answered the request; close the connection
  kError,             // fail the request (500 when nothing was sent yet) and close
};
FilterVerdict VerdictOf(DWORD status);

class FilterConnection {
 public:
  // host may be null: then no notification is delivered.
  FilterConnection(const FilterHost* host, ConnectionFacts connection);
  ~FilterConnection();
  FilterConnection(const FilterConnection&) = delete;
  FilterConnection& operator=(const FilterConnection&) = delete;

  bool Wants(DWORD notificationType) const { return host_ != nullptr && host_->Wants(notificationType); }

  // The request the variables describe; reset by BeginRequest, kept until the next one.
  RequestFacts& Request() { return request_; }
  void BeginRequest(const http::request_header<>& header, std::string receivedTarget);

  // ---- The notifications, each delivered only when the filter asked for it ----
  DWORD PreprocHeaders(http::request_header<>& request);
  // The request's user is identity, which must outlive the request; its token is issued when
  // the filter first asks for it, and closed by EndOfRequest.
  DWORD AuthComplete(http::request_header<>& request, const platform::TokenIdentity& identity);
  DWORD SendResponse(http::response_header<>& response);
  // block in: the bytes about to go out; out: what the filter left to send (maybe nothing).
  DWORD SendRawData(std::string& block);
  DWORD EndOfRequest();  // also closes the user token and forgets the request's filter state
  DWORD EndOfNetSession();

  // ---- What the filter did besides its status ----
  // Appends to out the bytes the filter sent to the client (WriteClient,
  // SF_REQ_SEND_RESPONSE_HEADER) since the last call, in order; a status line sent without a
  // length gets the length of what followed.
  void AppendClientOutput(std::string& out);
  // The status code of a response the filter sent through ServerSupportFunction; 0 if none.
  unsigned FilterResponseStatus() const { return filterStatus_; }
  // Headers given with AddResponseHeaders for the response to come.
  http::fields TakeAddedResponseHeaders();
  // The response's head has gone out: AddResponseHeaders fails from now on.
  void MarkResponseHeadSent() { headSent_ = true; }
  // The client is gone: WriteClient fails from now on.
  void MarkClientGone() { clientGone_ = true; }

 private:
  DWORD Deliver(DWORD notificationType, void* data);
  void FlushFilterResponse();

  static FilterConnection* Of(HTTP_FILTER_CONTEXT* pfc);
  static BOOL GetServerVariableThunk(HTTP_FILTER_CONTEXT* pfc, const char* name, void* buffer,
                                     DWORD* size) noexcept;
  static BOOL AddResponseHeadersThunk(HTTP_FILTER_CONTEXT* pfc, const char* headers,
                                      DWORD reserved) noexcept;
  static BOOL WriteClientThunk(HTTP_FILTER_CONTEXT* pfc, const void* buffer, DWORD* bytes,
                               DWORD reserved) noexcept;
  static BOOL ServerSupportFunctionThunk(HTTP_FILTER_CONTEXT* pfc, SF_REQ_TYPE request,
                                         void* pData, ULONG_PTR ul1, ULONG_PTR ul2) noexcept;
  static BOOL GetHeaderThunk(HTTP_FILTER_CONTEXT* pfc, const char* name, void* buffer,
                             DWORD* size) noexcept;
  static BOOL SetHeaderThunk(HTTP_FILTER_CONTEXT* pfc, const char* name, const char* value) noexcept;
  static BOOL AddHeaderThunk(HTTP_FILTER_CONTEXT* pfc, const char* name, const char* value) noexcept;
  static BOOL GetUserTokenThunk(HTTP_FILTER_CONTEXT* pfc, HANDLE* token) noexcept;
  static BOOL ChangeHeader(HTTP_FILTER_CONTEXT* pfc, const char* name, const char* value,
                           bool add) noexcept;

  BOOL WriteClient(const void* buffer, DWORD* bytes);
  BOOL SendResponseHeader(const char* status, const char* headers);
  BOOL AddResponseHeaders(const char* headers);

  const FilterHost* host_;
  ConnectionFacts connection_;
  HTTP_FILTER_CONTEXT pfc_{};
  RequestFacts request_;
  bool inRequest_ = false;

  // The header set the current notification's record reaches.
  http::request_header<>* activeRequest_ = nullptr;
  http::response_header<>* activeResponse_ = nullptr;
  const platform::TokenIdentity* userIdentity_ = nullptr;  // the request's user, once known
  HANDLE userToken_ = nullptr;  // issued for userIdentity_ on the filter's first request

  // The variable looked up last: a filter asks for a value's size, then for the value.
  // Forgotten when a notification begins or ends and when a header changes.
  bool variableKept_ = false;
  bool variableFound_ = false;
  std::string variableName_;
  std::string variableValue_;

  std::string clientOutput_;
  std::optional<std::string> filterHead_;  // a status line and headers not yet framed
  std::string filterBody_;  // what the filter wrote after filterHead_
  unsigned filterStatus_ = 0;
  http::fields addedHeaders_;
  bool headSent_ = false;
  bool clientGone_ = false;
};

// The buffer protocol of GetServerVariable and GetHeader.
BOOL CopyValueToFilter(const std::string& value, void* buffer, DWORD* size);

}  // namespace nexoral::server

#endif  // NEXORAL_SERVER_FILTER_CONNECTION_H
