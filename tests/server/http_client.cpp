// libcurl and raw-socket clients.
#include "http_client.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace nexoral::testing {
namespace {

size_t Append(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

std::string HttpResponse::Header(const std::string& name) const {
  const std::string lowered = Lower(headers);
  const size_t found = lowered.find("\r\n" + Lower(name) + ":");
  if (found == std::string::npos) return {};
  size_t start = found + 2 + name.size() + 1;
  while (start < headers.size() && headers[start] == ' ') ++start;
  return headers.substr(start, headers.find("\r\n", start) - start);
}

HttpClient::HttpClient() : handle_(curl_easy_init()) {}

HttpClient::~HttpClient() { curl_easy_cleanup(static_cast<CURL*>(handle_)); }

HttpResponse HttpClient::Send(const HttpRequest& request) {
  CURL* curl = static_cast<CURL*>(handle_);
  HttpResponse response;
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  if (request.method == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  if (!request.body.empty()) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.body.size()));
  }
  curl_slist* headers = nullptr;
  for (const std::string& header : request.headers) headers = curl_slist_append(headers, header.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  if (!request.user.empty()) {
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(curl, CURLOPT_USERPWD, request.user.c_str());
  }
  if (!request.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, request.caFile.c_str());
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, request.timeoutMs);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response.headers);
  response.curlCode = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &response.newConnections);
  char* localAddress = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_LOCAL_IP, &localAddress) == CURLE_OK && localAddress) {
    response.localAddress = localAddress;
  }
  curl_slist_free_all(headers);
  return response;
}

HttpResponse HttpClient::Get(const std::string& url, const std::string& user) {
  HttpRequest request;
  request.url = url;
  request.user = user;
  return Send(request);
}

std::string SendRaw(uint16_t port, const std::string& bytes, int timeoutMs) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string received;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return received;
  }
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  char buffer[4096];
  pollfd readable{fd, POLLIN, 0};
  while (::poll(&readable, 1, timeoutMs) > 0) {
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    received.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return received;
}

}  // namespace nexoral::testing
