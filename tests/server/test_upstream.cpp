// The scriptable upstream.
#include "test_upstream.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include "net.h"

namespace nexoral::testing {
namespace {

using namespace nexoral::server;

std::vector<size_t> NumbersIn(const std::string& text, char separator) {
  std::vector<size_t> numbers;
  std::stringstream stream(text);
  std::string item;
  while (std::getline(stream, item, separator)) {
    if (!item.empty()) numbers.push_back(std::stoul(item));
  }
  return numbers;
}

void SendText(tcp::socket& socket, const std::string& text) {
  error_code ec;
  asio::write(socket, asio::buffer(text), ec);
}

void SendWhole(tcp::socket& socket, const std::string& body, bool keepAlive) {
  std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\n";
  if (!keepAlive) head += "Connection: close\r\n";
  SendText(socket, head + "\r\n" + body);
}

std::string Echo(const http::request<http::string_body>& request) {
  std::ostringstream text;
  text << request.method_string() << " " << request.target() << "\n";
  for (const auto& field : request) text << field.name_string() << ": " << field.value() << "\n";
  text << "\n" << request.body();
  return text.str();
}

void Sleep(size_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Answers one request; false when the connection is to end.
bool Answer(tcp::socket& socket, const http::request<http::string_body>& request) {
  // The proxy passes paths on as they are; the routes under test live below /api/open.
  std::string target(request.target());
  for (const char* prefix : {"/api/open", "/api"}) {
    if (target.rfind(prefix, 0) == 0) {
      target.erase(0, std::string(prefix).size());
      break;
    }
  }
  const bool keepAlive = request.keep_alive();
  if (target.rfind("/cl/", 0) == 0) {
    SendWhole(socket, UpstreamPattern(std::stoul(target.substr(4))), keepAlive);
  } else if (target.rfind("/chunked/", 0) == 0) {
    SendText(socket, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n");
    size_t offset = 0;
    for (const size_t size : NumbersIn(target.substr(9), ',')) {
      std::ostringstream chunk;
      chunk << std::hex << size << "\r\n" << UpstreamPattern(offset + size).substr(offset) << "\r\n";
      SendText(socket, chunk.str());
      offset += size;
    }
    SendText(socket, "0\r\n\r\n");
  } else if (target.rfind("/drip/", 0) == 0) {
    const std::vector<size_t> numbers = NumbersIn(target.substr(6), '/');
    const size_t count = numbers.at(0);
    SendText(socket, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                         std::to_string(count * 10) + "\r\n\r\n");
    const std::string whole = UpstreamPattern(count * 10);
    for (size_t i = 0; i < count; ++i) {
      Sleep(numbers.at(1));
      SendText(socket, whole.substr(i * 10, 10));
    }
  } else if (target == "/broken") {
    SendText(socket, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1000\r\n\r\n" +
                         UpstreamPattern(100));
    return false;
  } else if (target.rfind("/slow/", 0) == 0) {
    Sleep(std::stoul(target.substr(6)));
    SendWhole(socket, "slow", keepAlive);
  } else if (target.rfind("/echo", 0) == 0) {
    SendWhole(socket, Echo(request), keepAlive);
  } else {
    SendText(socket, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  }
  return keepAlive;
}

}  // namespace

std::string UpstreamPattern(size_t length) {
  std::string pattern(length, '\0');
  for (size_t i = 0; i < length; ++i) pattern[i] = static_cast<char>('a' + i % 26);
  return pattern;
}

struct TestUpstream::Impl {
  asio::io_context io;
  tcp::acceptor acceptor{io};
};

TestUpstream::TestUpstream() : impl_(std::make_unique<Impl>()) {
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen();
  port_ = impl_->acceptor.local_endpoint().port();
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

TestUpstream::~TestUpstream() {
  stopping_ = true;
  ::shutdown(impl_->acceptor.native_handle(), SHUT_RDWR);
  acceptor_.join();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const int fd : openSockets_) ::shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& thread : threads_) thread.join();
  for (const int fd : openSockets_) ::close(fd);
}

void TestUpstream::AcceptLoop() {
  while (!stopping_) {
    error_code ec;
    tcp::socket socket(impl_->io);
    impl_->acceptor.accept(socket, ec);
    if (ec || stopping_) return;
    ++accepted_;
    const int fd = socket.release();
    std::lock_guard<std::mutex> guard(mutex_);
    openSockets_.push_back(fd);
    threads_.emplace_back([this, fd] { Serve(fd); });
  }
}

void TestUpstream::Serve(int fd) {
  asio::io_context io;
  tcp::socket socket(io, tcp::v4(), fd);
  beast::flat_buffer buffer;
  while (!stopping_) {
    http::request<http::string_body> request;
    error_code ec;
    http::read(socket, buffer, request, ec);
    if (ec || !Answer(socket, request)) break;
  }
  error_code ignored;
  socket.shutdown(tcp::socket::shutdown_both, ignored);
  // The descriptor stays open until the destructor's shutdown pass is over.
  socket.release(ignored);
}

}  // namespace nexoral::testing
