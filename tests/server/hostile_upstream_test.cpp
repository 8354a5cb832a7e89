// Hostile clients and upstreams against nexoral-server: upstream.
#include <poll.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "net.h"

namespace nexoral::testing {
namespace {

using namespace nexoral::server;

// An upstream answering interim responses, and closing a kept-alive connection under a request.
TEST(HostileUpstreamTest, UpstreamTour) {
  TestUpstream upstream;
  ServerProcess server({.module = "", .threads = 1, .config = "[proxy]\nroute = /api/ 127.0.0.1:" +
                                                std::to_string(upstream.Port()) + "\n"});
  ASSERT_TRUE(server.Running()) << server.Read("stderr.log");
  struct Row { std::string target, body; std::vector<std::string> headers; int status, posts; };
  const Row rows[] = {  // body: POSTed when not empty; posts: how many reached the upstream so far
      // The client gets its 100 Continue here; the upstream, asked too, would answer another.
      {"/api/open/expect", "form=1", {"Expect: 100-continue"}, 200, 1},
      {"/api/open/interim/102", "", {}, 200, 1},
      {"/api/open/interim/103", "", {}, 200, 1},
      // After this one the upstream reads the next request on its connection and closes it
      // unanswered...
      {"/api/open/close-next/interim/100", "", {}, 200, 1},
      // ... so a POST reusing it reached the upstream once and must not go a second time.
      {"/api/open/counted", "x=1", {}, 502, 2},
  };
  HttpClient client;
  for (const Row& row : rows) {
    const HttpResponse response =
        client.Send({.url = server.Url(row.target), .headers = row.headers, .body = row.body});
    const std::string method = row.body.empty() ? "GET " : "POST ";
    EXPECT_TRUE(response.status == row.status &&
                (row.status != 200 || response.body.starts_with(method + row.target + "\n")) &&
                EchoedHeaders(response.body, "Expect").empty() &&
                upstream.PostsArrived() == row.posts)
        << row.target << ": " << response.status << " " << upstream.PostsArrived() << "\n"
        << response.body;
  }
}

// What came on socket until expected was among it, the server closed or nothing came for a while.
std::string Receive(tcp::socket& socket, const std::string& expected) {
  std::string received;
  char buffer[4096];
  pollfd readable{socket.native_handle(), POLLIN, 0};
  for (ssize_t n = 1; n > 0 && received.find(expected) == std::string::npos &&
                      ::poll(&readable, 1, 500) > 0;) {
    n = ::recv(readable.fd, buffer, sizeof(buffer), 0);
    received.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
  }
  return received;
}

// The connection limit and the memory all request bodies together may take.
TEST(HostileUpstreamTest, GlobalLimits) {
  TestUpstream upstream;
  ServerProcess server({.module = "", .config = "[limits]\nmax_connections = 2\n"
                                                "total_body_bytes = 100\n[proxy]\nroute = /api/ "
                                                "127.0.0.1:" + std::to_string(upstream.Port())});
  ASSERT_TRUE(server.Running()) << server.Read("stderr.log");
  const std::string post = "POST /api/open/b HTTP/1.1\r\nHost: h\r\nContent-Length: ";
  struct Step { size_t socket; std::string send, expected; };  // a new socket the first time
  const Step steps[] = {  // expected "": nothing comes
      // One body takes 80 of the 100 bytes (before its 100 Continue); one of 30 finds no room.
      {0, post + "80\r\nExpect: 100-continue\r\nConnection: close\r\n\r\n", "HTTP/1.1 100 "},
      {1, post + "30\r\nConnection: close\r\n\r\n" + std::string(30, 'y'), "HTTP/1.1 503 "},
      // Two connections are open: a third waits until one of them ends.
      {2, "", ""},
      {3, "GET /public/logo.txt HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n", ""},
      {0, std::string(80, 'x'), "POST /api/open/b"},
      {3, "", "public logo\n"},
      // The room was given back with the response.
      {2, post + "30\r\n\r\n" + std::string(30, 'y'), "POST /api/open/b"},
  };
  asio::io_context io;
  std::vector<tcp::socket> sockets;
  for (const Step& step : steps) {
    if (step.socket == sockets.size()) {
      sockets.emplace_back(io).connect({asio::ip::address_v4::loopback(), server.HttpPort()});
    }
    asio::write(sockets.at(step.socket), asio::buffer(step.send));
    const std::string received =
        Receive(sockets[step.socket], step.expected.empty() ? "\n" : step.expected);
    EXPECT_EQ(received.find(step.expected.empty() ? "HTTP" : step.expected) != std::string::npos,
              !step.expected.empty()) << received;
  }
}

}  // namespace
}  // namespace nexoral::testing
