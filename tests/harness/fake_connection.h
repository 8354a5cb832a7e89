// FakeConnection: one client connection of an in-memory web server. It implements the server
// side of the filter interface (server variables, request and response headers, WriteClient,
// ServerSupportFunction, AddResponseHeaders, the user token, pFilterContext kept across
// requests) and delivers notifications to a filter procedure, recording what the filter did.
// Single-threaded, like the server's handling of one connection.
#ifndef NEXORAL_TESTS_HARNESS_FAKE_CONNECTION_H
#define NEXORAL_TESTS_HARNESS_FAKE_CONNECTION_H

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "nexoral/filter_interface.h"

namespace nexoral::testing {

// Anything that takes notifications: the module's HttpFilterProc, a dispatch over a test
// worker list, or one handler's Notify.
using FilterProc = std::function<DWORD(HTTP_FILTER_CONTEXT*, DWORD, void*)>;

struct CaseInsensitiveLess {
  bool operator()(const std::string& left, const std::string& right) const;
};

// Header lines in arrival order; names without their colon, compared ignoring case.
class HeaderFields {
 public:
  std::optional<std::string> Get(const std::string& name) const;
  void Set(const std::string& name, const std::string& value);  // replaces every line of name
  void Add(const std::string& name, const std::string& value);
  void Remove(const std::string& name);
  const std::vector<std::pair<std::string, std::string>>& Lines() const { return lines_; }

 private:
  std::vector<std::pair<std::string, std::string>> lines_;
};

struct SupportCall {
  SF_REQ_TYPE request;
  std::string status;   // pData as text
  std::string headers;  // ul1 as text
  ULONG_PTR ul2;
};

// Server side of the buffer protocol: copies value and its NUL into buffer when *size allows,
// else reports the size needed with ERROR_INSUFFICIENT_BUFFER.
BOOL CopyValueOut(const std::string& value, void* buffer, DWORD* size);

class FakeConnection {
 public:
  FakeConnection();
  ~FakeConnection();  // destroys a filter context left on the connection
  FakeConnection(const FakeConnection&) = delete;
  FakeConnection& operator=(const FakeConnection&) = delete;

  HTTP_FILTER_CONTEXT* pfc() { return &pfc_; }

  // ---- The request as the server knows it ----
  std::map<std::string, std::string, CaseInsensitiveLess> serverVariables;
  HeaderFields requestHeaders;
  HeaderFields responseHeaders;
  DWORD responseStatus = 200;
  HANDLE userToken = nullptr;  // what GetUserToken hands out; null fails with 1008

  // ---- Failure injection ----
  bool failWriteClient = false;   // WriteClient fails with ERROR_NO_DATA
  bool failSupportFunction = false;  // ServerSupportFunction fails with ERROR_NO_DATA
  bool throwInWriteClient = false;  // WriteClient throws std::runtime_error

  // ---- What the filter did ----
  std::vector<std::string> clientWrites;
  std::vector<SupportCall> supportCalls;
  std::string addedResponseHeaders;
  HTTP_FILTER_RAW_DATA rawData{};  // the raw-data record as the filter left it

  // ---- Delivering notifications ----
  DWORD PreprocHeaders(const FilterProc& filter);
  DWORD AuthComplete(const FilterProc& filter);
  DWORD SendResponse(const FilterProc& filter);
  DWORD SendRawData(const FilterProc& filter, const std::string& block);
  DWORD EndOfRequest(const FilterProc& filter);
  DWORD EndOfNetSession(const FilterProc& filter);
  // Any type; the record is chosen by type (none for types without one).
  DWORD Deliver(const FilterProc& filter, DWORD notificationType);

 private:
  static FakeConnection& Of(HTTP_FILTER_CONTEXT* pfc);
  std::optional<std::string> FindServerVariable(const std::string& name) const;
  std::optional<std::string> FindHeader(const std::string& nameWithColon) const;
  void SetActiveHeader(const std::string& nameWithColon, const std::string& value, bool add);

  static BOOL GetServerVariableThunk(HTTP_FILTER_CONTEXT* pfc, const char* name, void* buffer,
                                     DWORD* size);
  static BOOL AddResponseHeadersThunk(HTTP_FILTER_CONTEXT* pfc, const char* headers, DWORD);
  static BOOL WriteClientThunk(HTTP_FILTER_CONTEXT* pfc, const void* buffer, DWORD* bytes, DWORD);
  static BOOL ServerSupportFunctionThunk(HTTP_FILTER_CONTEXT* pfc, SF_REQ_TYPE request,
                                         void* pData, ULONG_PTR ul1, ULONG_PTR ul2);
  static BOOL GetHeaderThunk(HTTP_FILTER_CONTEXT* pfc, const char* name, void* buffer, DWORD* size);
  static BOOL ChangeHeader(HTTP_FILTER_CONTEXT* pfc, const char* name, const char* value, bool add);
  static BOOL SetHeaderThunk(HTTP_FILTER_CONTEXT* pfc, const char* name, const char* value);
  static BOOL AddHeaderThunk(HTTP_FILTER_CONTEXT* pfc, const char* name, const char* value);
  static BOOL GetUserTokenThunk(HTTP_FILTER_CONTEXT* pfc, HANDLE* token);

  HTTP_FILTER_CONTEXT pfc_{};
  HeaderFields* activeHeaders_ = nullptr;  // the header set of the record being delivered
  std::string rawBlock_;
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_HARNESS_FAKE_CONNECTION_H
