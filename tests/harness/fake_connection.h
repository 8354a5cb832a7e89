// FakeConnection: one client connection of an in-memory web server. It implements the server
// side of the filter interface the module uses (server variables, with "HTTP_*" names falling
// back to the request headers; GetHeader/SetHeader/AddHeader; WriteClient;
// ServerSupportFunction; pFilterContext kept across requests), delivers notifications to a
// filter procedure and records what the filter did. Single-threaded, like the server's handling
// of one connection.
#ifndef NEXORAL_TESTS_HARNESS_FAKE_CONNECTION_H
#define NEXORAL_TESTS_HARNESS_FAKE_CONNECTION_H

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "nexoral/filter_interface.h"
#include "platform/thread_token.h"

namespace nexoral::testing {

// Anything that takes notifications: a dispatch over a worker list or one handler's Notify.
using FilterProc = std::function<DWORD(HTTP_FILTER_CONTEXT*, DWORD, void*)>;

// Header lines in arrival order; names without their colon, compared ignoring case.
class HeaderFields {
 public:
  std::optional<std::string> Get(const std::string& name) const;
  void Set(const std::string& name, const std::string& value);  // replaces every line of name
  void Add(const std::string& name, const std::string& value) { lines_.emplace_back(name, value); }
  void Remove(const std::string& name);

 private:
  std::vector<std::pair<std::string, std::string>> lines_;
};

struct SupportCall {
  SF_REQ_TYPE request;
  std::string status;   // pData as text
  std::string headers;  // ul1 as text
};

class FakeConnection {
 public:
  FakeConnection();
  ~FakeConnection();  // destroys a filter context left on the connection
  FakeConnection(const FakeConnection&) = delete;
  FakeConnection& operator=(const FakeConnection&) = delete;

  HTTP_FILTER_CONTEXT* pfc() { return &pfc_; }
  // Delivers one notification with the record its type carries (none for types without one).
  DWORD Deliver(const FilterProc& filter, DWORD notificationType);

  // The request as the server knows it; variable names are compared ignoring case.
  std::map<std::string, std::string> serverVariables;
  HeaderFields requestHeaders;
  HeaderFields responseHeaders;
  DWORD responseStatus = 200;  // the status SEND_RESPONSE reports
  // The authenticated user GetUserToken hands out (one token, the connection's); none: it fails.
  std::optional<platform::TokenIdentity> user;

  // Failure injection.
  bool failWriteClient = false;      // WriteClient fails with ERROR_NO_DATA
  bool failSupportFunction = false;  // ServerSupportFunction fails with ERROR_NO_DATA
  bool throwInWriteClient = false;   // WriteClient throws std::runtime_error

  // What the filter did.
  std::vector<std::string> clientWrites;
  std::vector<SupportCall> supportCalls;

 private:
  HTTP_FILTER_CONTEXT pfc_{};
  HANDLE userToken_ = nullptr;
  HeaderFields* activeHeaders_ = nullptr;  // the header set of the record being delivered
  std::string rawBlock_ = "HTTP/1.1 200 OK\r\n\r\n";
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_HARNESS_FAKE_CONNECTION_H
