// Real HTTP clients for the end-to-end tests: libcurl (a handle that keeps its connection alive
// across requests, TLS with a given CA file) and a raw loopback socket for bytes no well-behaved
// client would send.
#ifndef NEXORAL_TESTS_SERVER_HTTP_CLIENT_H
#define NEXORAL_TESTS_SERVER_HTTP_CLIENT_H

#include <cstdint>
#include <string>
#include <vector>

namespace nexoral::testing {

struct HttpRequest {
  std::string url;
  std::string method = "GET";
  std::vector<std::string> headers;  // "Name: value"
  std::string body;
  std::string user;      // "name:password" for Basic
  std::string caFile;    // trusted certificate for https
  long timeoutMs = 10000;
};

struct HttpResponse {
  int curlCode = 0;  // 0 when the exchange completed
  long status = 0;
  std::string headers;  // the raw header block(s)
  std::string body;
  long newConnections = 0;  // connections libcurl opened for this request
  std::string localAddress;  // the client's own address on the connection it used

  // The value of the first header named name (ignoring case), or "".
  std::string Header(const std::string& name) const;
};

class HttpClient {
 public:
  HttpClient();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // One request on this client's handle; a kept-alive connection is reused.
  HttpResponse Send(const HttpRequest& request);
  HttpResponse Get(const std::string& url, const std::string& user = {});

 private:
  void* handle_;
};

// Sends bytes on a new loopback connection and returns all the server sent back until it
// closed the connection or timeoutMs passed without data.
std::string SendRaw(uint16_t port, const std::string& bytes, int timeoutMs = 3000);

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_SERVER_HTTP_CLIENT_H
