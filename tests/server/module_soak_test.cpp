// Soak run, not a benchmark: many kept-alive connections at once send requests through
// nexoral-server with the real module and a subscribed worker for a few seconds, under the
// sanitizers of the test build. It asserts only that every answer was right and that the server
// and the module end clean: exit status 0 (a leak would make it non-zero under LeakSanitizer),
// no request context left behind, one end-of-request call for every request the worker took.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "e2e_support.h"

namespace nexoral::testing {
namespace {

TEST(ModuleSoakTest, ManyKeptAliveConnectionsGetRightAnswersAndTheModuleEndsClean) {
  InstalledModule module;
  TestUpstream upstream;
  const std::string script = "var mail = 'plain script';\n";
  ServerProcess server({.module = module.install.ModulePath(), .httpAddress = "127.0.0.2",
                        .config = "[auth]\nanonymous = /owa/scripts/\n[proxy]\nroute = /api/ "
                                  "127.0.0.1:" + std::to_string(upstream.Port()) + "\n",
                        .files = {{"www/owa/scripts/zq_mail.js", script}}});
  ASSERT_TRUE(server.Running()) << server.Read("stderr.log");
  // The current hash, as the module sends it upstream.
  const HttpResponse probe = HttpClient().Send({.url = server.Url("/api/open/echo/watched")});
  const std::string prefix = EchoedHeaders(probe.body, "ZQ_CsmPrefix").at(0);

  // 24 connections, each for 9 seconds or 4000 requests, sending in turn a request with a body
  // the worker takes (to the echo), one it does not take, and a decorated script name served
  // from the document root; each stops at its first wrong answer.
  std::vector<std::string> faults(24);  // each connection's first wrong answer
  std::atomic<size_t> taken{1};  // the probe was taken
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(9);
  std::vector<std::thread> connections;
  for (int connection = 0; connection < 24; ++connection) {
    connections.emplace_back([&, connection] {
      HttpClient client;
      std::string& fault = faults[connection];
      for (int i = 0; fault.empty() && i < 4000 && std::chrono::steady_clock::now() < end; ++i) {
        const std::string tag = "/c" + std::to_string(connection) + "/r" + std::to_string(i);
        const int kind = i % 3;
        const std::string path = kind == 0   ? "/api/open/echo/watched" + tag
                                 : kind == 1 ? "/api/open/echo/unwatched" + tag
                                             : "/owa/scripts/" + prefix + "mail.js?n=" + tag;
        const std::string body = kind == 0 ? "body of" + tag : "";
        const HttpResponse response = client.Send({.url = server.Url(path), .body = body});
        fault = kind == 2 ? (response.body == script ? "" : "script: " + response.body)
                          : EchoFault(response, (kind == 0 ? "POST " : "GET ") + path,
                                      kind == 0 ? prefix : "", body);
        if (i > 0 && response.newConnections != 0) fault += " on a new connection";
        taken += kind != 1 ? 1 : 0;
      }
    });
  }
  for (std::thread& thread : connections) thread.join();
  for (const std::string& fault : faults) EXPECT_EQ(fault, "");
  ExpectCleanEnd(server, module, taken);
}

}  // namespace
}  // namespace nexoral::testing
