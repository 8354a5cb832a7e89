// nexoral-demo-upstream: the demo's second web-mail server. It answers every request with one
// HTML file sent in chunks (Transfer-Encoding: chunked, no Content-Length), so that the demo
// shows a page rewritten whose length is known only at its end. One connection at a time, one
// request per connection; a client that sends nothing for five seconds is dropped. For each
// request it prints the criterion the module passed on in "ZQ_CRITERIA:".
//   nexoral-demo-upstream <IPv4 address> <port> <file>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr size_t kChunkBytes = 256;        // small, so that the page comes in several chunks
constexpr size_t kMaxRequestHead = 16384;  // a longer request head is not read on

bool SendAll(int socket, const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Reads the request head (up to its blank line); false when the client sent none.
bool ReadRequestHead(int socket, std::string& head) {
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead) {
    const ssize_t n = ::recv(socket, buffer, sizeof(buffer), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    head.append(buffer, static_cast<size_t>(n));
  }
  return head.find("\r\n\r\n") != std::string::npos;
}

// The value of the request header name (given with its colon, in lower case), printable
// characters only and at most 40 of them; "(none)" without the header.
std::string HeaderValue(const std::string& head, const std::string& name) {
  std::string lower = head;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t at = lower.find("\r\n" + name);
  if (at == std::string::npos) return "(none)";
  std::string value;
  for (size_t i = at + 2 + name.size(); i < head.size() && head[i] != '\r' && value.size() < 40; ++i) {
    if (head[i] >= 0x21 && head[i] <= 0x7e) value += head[i];
  }
  return value;
}

void Answer(int socket, const std::string& page) {
  std::string head;
  if (!ReadRequestHead(socket, head)) return;
  std::printf("    the web-mail server behind it got ZQ_CRITERIA: %s\n",
              HeaderValue(head, "zq_criteria:").c_str());
  std::fflush(stdout);
  if (!SendAll(socket, "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                       "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n")) {
    return;
  }
  for (size_t at = 0; at < page.size(); at += kChunkBytes) {
    const std::string piece = page.substr(at, kChunkBytes);
    char size[20];
    std::snprintf(size, sizeof(size), "%zx\r\n", piece.size());
    if (!SendAll(socket, size + piece + "\r\n")) return;
  }
  SendAll(socket, "0\r\n\r\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <IPv4 address> <port> <file>\n", argv[0]);
    return 2;
  }
  std::ifstream file(argv[3], std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  if (!file) {
    std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[3]);
    return 1;
  }
  const std::string page = content.str();

  sockaddr_in address{};
  address.sin_family = AF_INET;
  const long port = std::strtol(argv[2], nullptr, 10);
  if (inet_pton(AF_INET, argv[1], &address.sin_addr) != 1 || port <= 0 || port > 65535) {
    std::fprintf(stderr, "%s: bad address %s:%s\n", argv[0], argv[1], argv[2]);
    return 2;
  }
  address.sin_port = htons(static_cast<uint16_t>(port));
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (listener < 0 || ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
      ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener, 16) != 0) {
    std::perror("nexoral-demo-upstream: listen");
    return 1;
  }
  std::signal(SIGPIPE, SIG_IGN);
  for (;;) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::perror("nexoral-demo-upstream: accept");
      return 1;
    }
    const timeval timeout{5, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    Answer(client, page);
    ::close(client);
  }
}
