// Hostile clients and upstreams against nexoral-server: upstream.
#include <gtest/gtest.h>

#include "e2e_support.h"

namespace nexoral::testing {
namespace {

// An upstream answering interim responses, and closing a kept-alive connection under a request.
TEST(HostileUpstreamTest, UpstreamTour) {
  TestUpstream upstream;
  ServerProcess server({.module = "", .config = "[proxy]\nroute = /api/ 127.0.0.1:" +
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

}  // namespace
}  // namespace nexoral::testing
