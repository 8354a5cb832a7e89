// Soak run, not a benchmark: many kept-alive connections at once send requests through
// nexoral-server with the real module and a subscribed worker for a few seconds, under the
// sanitizers the test build has. Nothing here measures speed; the run asserts only that every
// answer was right and that the server and the module end clean: exit status 0 (with
// LeakSanitizer on, a leak would make it non-zero), no request context left behind, and one
// end-of-request call for every request the worker took.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "http_client.h"
#include "installed_module.h"
#include "server_process.h"
#include "test_upstream.h"

namespace nexoral::testing {
namespace {

constexpr int kConnections = 24;
// Each connection stops at whichever comes first.
constexpr auto kRunTime = std::chrono::seconds(9);
constexpr int kMaxRequestsPerConnection = 4000;

constexpr char kScript[] = "var mail = 'plain script';\n";

// What the connections saw, shared between their threads.
class Tally {
 public:
  void Fail(const std::string& what) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (failures_.size() < 10) failures_.push_back(what);
    ++failureCount_;
  }
  void Answered(bool taken) {
    ++answered_;
    if (taken) ++taken_;
  }

  long FailureCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return failureCount_;
  }
  std::string FirstFailures() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::string text;
    for (const std::string& failure : failures_) text += failure + "\n";
    return text;
  }
  long Answered() const { return answered_.load(); }
  long Taken() const { return taken_.load(); }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> failures_;
  long failureCount_ = 0;
  std::atomic<long> answered_{0};
  std::atomic<long> taken_{0};
};

// One kept-alive connection's loop: in turn a request with a body the worker takes (proxied to
// the echo), one it does not take, and a decorated script name served from the document root.
void RunConnection(const ServerProcess& server, const std::string& prefix, int connection,
                   std::chrono::steady_clock::time_point end, Tally& tally) {
  HttpClient client;
  for (int i = 0; i < kMaxRequestsPerConnection && std::chrono::steady_clock::now() < end; ++i) {
    const std::string tag = "/c" + std::to_string(connection) + "/r" + std::to_string(i);
    const int kind = i % 3;
    std::string path;
    if (kind == 0) path = "/api/open/echo/watched" + tag;
    if (kind == 1) path = "/api/open/echo/unwatched" + tag;
    if (kind == 2) path = "/owa/scripts/" + prefix + "mail.js?n=" + std::to_string(i);
    HttpRequest request;
    request.url = server.Url(path);
    if (kind == 0) {
      request.method = "POST";
      request.body = "body of" + tag;
    }
    const HttpResponse response = client.Send(request);
    std::string wrong;
    if (response.curlCode != 0 || response.status != 200) {
      wrong = "status " + std::to_string(response.status) + " curl " +
              std::to_string(response.curlCode);
    } else if (i > 0 && response.newConnections != 0) {
      wrong = "the connection was not kept";
    } else if (kind == 2) {
      if (response.body != kScript) wrong = "script body " + response.body;
    } else if (EchoedRequestLine(response.body) != request.method + " " + path ||
               !response.body.ends_with("\n\n" + request.body)) {
      wrong = "echo of another request: " + EchoedRequestLine(response.body);
    } else if (EchoedHeaders(response.body, "X-Remote-Client-IP") !=
               std::vector<std::string>{response.localAddress}) {
      wrong = "client address headers in " + response.body;
    } else if (EchoedHeaders(response.body, "ZQ_CsmPrefix") !=
               (kind == 0 ? std::vector<std::string>{prefix} : std::vector<std::string>{})) {
      wrong = "script prefix headers in " + response.body;
    }
    if (!wrong.empty()) {
      tally.Fail(path + ": " + wrong);
      return;  // the connection's state is unknown now
    }
    tally.Answered(kind != 1);
  }
}

TEST(ModuleSoakTest, ManyKeptAliveConnectionsGetRightAnswersAndTheModuleEndsClean) {
  // A leak in the server or the module would only show when LeakSanitizer runs in the child,
  // which inherits this environment.
  if (const char* options = std::getenv("ASAN_OPTIONS")) {
    EXPECT_EQ(std::string(options).find("detect_leaks=0"), std::string::npos) << options;
  }
  InstalledModule module(kApiAndOwaRules);
  TestUpstream upstream;
  ServerSetup setup;
  setup.listenAddress = "127.0.0.2";
  setup.upstreamPort = upstream.Port();
  setup.files = {{"www/owa/scripts/zq_mail.js", kScript}};
  setup.extraConfig = "[auth]\nanonymous = /owa/scripts/\n";
  std::unique_ptr<ServerProcess> server = module.StartServer(setup);
  ASSERT_TRUE(server->Running()) << server->ErrorOutput();

  // The current hash, as the module sends it upstream.
  HttpClient probe;
  const HttpResponse echo = probe.Get(server->Url("/api/open/echo/watched"));
  const std::vector<std::string> prefixes = EchoedHeaders(echo.body, "ZQ_CsmPrefix");
  ASSERT_EQ(prefixes.size(), 1u) << echo.status << " " << echo.body;

  Tally tally;
  const auto end = std::chrono::steady_clock::now() + kRunTime;
  std::vector<std::thread> connections;
  for (int connection = 0; connection < kConnections; ++connection) {
    connections.emplace_back(RunConnection, std::cref(*server), std::cref(prefixes[0]),
                             connection, end, std::ref(tally));
  }
  for (std::thread& thread : connections) thread.join();
  std::cout << "soak: " << tally.Answered() << " requests answered on " << kConnections
            << " kept-alive connections\n";

  EXPECT_EQ(tally.FailureCount(), 0) << tally.FirstFailures();
  EXPECT_GT(tally.Answered(), 0);
  EXPECT_EQ(server->Stop(30000), 0) << server->ErrorOutput();
  EXPECT_EQ(CountContaining(module.LogLines(), "TerminateFilter request contexts still alive 0"),
            1u);
  // The probe and every answered request the worker took.
  const long taken = tally.Taken() + 1;
  const std::vector<std::string> calls = module.WorkerCalls();
  EXPECT_EQ(static_cast<long>(CountContaining(calls, kWorkerPreprocCall)), taken);
  EXPECT_EQ(static_cast<long>(CountContaining(calls, kWorkerEndOfRequestCall)), taken);
}

}  // namespace
}  // namespace nexoral::testing
