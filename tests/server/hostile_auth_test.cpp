// Hostile clients and upstreams against nexoral-server: auth.
#include <gtest/gtest.h>

#include <chrono>

#include "e2e_support.h"
#include "net.h"

namespace nexoral::testing {
namespace {

namespace asio = server::asio;

// The status of the answer to GET /owa/ with those Basic credentials, sent from source (a
// loopback address) to the server's 127.0.0.1:port.
int StatusFrom(const char* source, uint16_t port, const std::string& credentials) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io, asio::ip::tcp::v4());
  server::error_code ec;
  socket.bind({asio::ip::make_address(source), 0}, ec);
  if (!ec) socket.connect({asio::ip::address_v4::loopback(), port}, ec);
  const std::string request = "GET /owa/ HTTP/1.1\r\nHost: x\r\nAuthorization: Basic " +
                              credentials + "\r\nConnection: close\r\n\r\n";
  if (!ec) asio::write(socket, asio::buffer(request), ec);
  std::string answer;
  if (!ec) asio::read(socket, asio::dynamic_buffer(answer), ec);
  return answer.starts_with("HTTP/1.1 ") ? std::atoi(answer.c_str() + 9) : -1;
}

// Three failed logins slow their address: each further check, right or wrong, waits its turn
// (a second), while another address logs in, or fails, as before.
TEST(HostileAuthTest, RepeatedFailuresSlowTheirAddressWhileOthersLogIn) {
  ServerSetup setup;
  setup.config = "[auth]\nfailures_before_delay = 3\nfailure_delay = 1s\n";
  ServerProcess server(setup);
  ASSERT_TRUE(server.Running());
  const std::string wrong = "YWxpY2U6Z3Vlc3M=";          // alice:guess
  const std::string nobody = "bm9ib2R5OndvbmRlcmxhbmQ=";  // nobody:wonderland
  const std::string right = "YWxpY2U6d29uZGVybGFuZA==";  // alice:wonderland
  const std::tuple<const char*, std::string, int, bool> steps[] = {  // from, credentials, status
      {"127.0.0.1", wrong, 401, false}, {"127.0.0.1", nobody, 401, false},
      {"127.0.0.1", wrong, 401, false}, {"127.0.0.1", wrong, 401, true},
      {"127.0.0.1", right, 200, true},  {"127.0.0.2", right, 200, false},
      {"127.0.0.2", wrong, 401, false}};
  for (const auto& [source, credentials, status, slowed] : steps) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StatusFrom(source, server.HttpPort(), credentials), status) << source;
    const auto least = std::chrono::seconds(slowed ? 1 : 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, least) << source << " " << credentials;
  }
}

}  // namespace
}  // namespace nexoral::testing
