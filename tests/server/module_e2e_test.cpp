// The real module inside a whole installation, run by nexoral-server: what its request
// pre-processing does to what the upstream, the document root and the client see. Servers
// listen on 127.0.0.2, an address the module takes for a remote one, except where the loopback
// redirect itself is under test.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <memory>
#include <string>

#include "e2e_support.h"
#include "http_client.h"
#include "installed_module.h"
#include "server_process.h"
#include "test_upstream.h"

namespace nexoral::testing {
namespace {

// Five characters of the hash alphabet followed by "zq_".
bool IsScriptPrefix(const std::string& text) {
  if (text.size() != 8 || text.compare(5, 3, "zq_") != 0) return false;
  return std::all_of(text.begin(), text.begin() + 5,
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

const std::string kAlice = std::string("alice:") + kAlicePassword;

constexpr char kWatchedEcho[] = "/api/open/echo/watched";
constexpr char kUnwatchedEcho[] = "/api/open/echo/unwatched";

// The machine's host name up to its first '.': what the loopback redirect names.
std::string ShortHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return {};
  std::string host(name);
  return host.substr(0, host.find('.'));
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class ModuleEndToEndTest : public ::testing::Test {
 protected:
  void StartServer(ServerSetup setup) {
    server_ = module_.StartServer(std::move(setup));
    ASSERT_TRUE(server_->Running()) << server_->ErrorOutput();
    ASSERT_EQ(CountContaining(module_.Events(), "Nexoral successfully initialized"), 1u)
        << "the module did not start its worker:\n"
        << ::testing::PrintToString(module_.Events());
  }

  // A server on 127.0.0.2 with the upstream behind /api/.
  void StartRemoteServer(ServerSetup setup = {}) {
    setup.listenAddress = "127.0.0.2";
    setup.upstreamPort = upstream_.Port();
    StartServer(std::move(setup));
  }

  HttpResponse Fetch(const std::string& path, const std::string& user = {}) {
    return client_.Get(server_->Url(path), user);
  }

  // Stops the server; it must exit cleanly and the module must have destroyed every request
  // context it made.
  void StopServer() {
    EXPECT_EQ(server_->Stop(), 0) << server_->ErrorOutput();
    EXPECT_EQ(CountContaining(module_.LogLines(), "TerminateFilter request contexts still alive 0"),
              1u);
  }

  size_t WorkerCallsOf(const std::string& call) const {
    return CountContaining(module_.WorkerCalls(), call);
  }

  InstalledModule module_{kApiAndOwaRules};
  TestUpstream upstream_;
  std::unique_ptr<ServerProcess> server_;
  HttpClient client_;
};

TEST_F(ModuleEndToEndTest, TakenRequestReachesTheUpstreamWithClientAddressAndScriptPrefix) {
  StartRemoteServer();
  const HttpResponse response = Fetch(kWatchedEcho);
  ASSERT_EQ(response.status, 200) << response.body;
  EXPECT_EQ(EchoedRequestLine(response.body), std::string("GET ") + kWatchedEcho);
  ASSERT_FALSE(response.localAddress.empty());
  EXPECT_EQ(EchoedHeaders(response.body, "X-Remote-Client-IP"),
            std::vector<std::string>{response.localAddress});
  const std::vector<std::string> prefix = EchoedHeaders(response.body, "ZQ_CsmPrefix");
  ASSERT_EQ(prefix.size(), 1u) << response.body;
  EXPECT_TRUE(IsScriptPrefix(prefix[0])) << prefix[0];

  StopServer();
  EXPECT_EQ(WorkerCallsOf(kWorkerPreprocCall), 1u);
  EXPECT_EQ(WorkerCallsOf(kWorkerEndOfRequestCall), 1u);
}

TEST_F(ModuleEndToEndTest, RequestNoWorkerTakesCarriesTheClientAddressButNoScriptPrefix) {
  StartRemoteServer();
  const HttpResponse response = Fetch(kUnwatchedEcho);
  ASSERT_EQ(response.status, 200) << response.body;
  EXPECT_EQ(EchoedRequestLine(response.body), std::string("GET ") + kUnwatchedEcho);
  EXPECT_EQ(EchoedHeaders(response.body, "X-Remote-Client-IP"),
            std::vector<std::string>{response.localAddress});
  EXPECT_TRUE(EchoedHeaders(response.body, "ZQ_CsmPrefix").empty()) << response.body;

  StopServer();
  EXPECT_EQ(WorkerCallsOf("HttpFilterProc"), 0u);
}

TEST_F(ModuleEndToEndTest, DecoratedScriptNameIsServedAsThePlainFile) {
  ServerSetup setup;
  setup.files = {{"www/owa/scripts/zq_mail.js", "var mail = 'plain script';\n"},
                 {"www/owa/scripts/mail.js", "var other = 'not this one';\n"}};
  StartRemoteServer(setup);
  const HttpResponse echo = Fetch(kWatchedEcho);
  const std::vector<std::string> prefix = EchoedHeaders(echo.body, "ZQ_CsmPrefix");
  ASSERT_EQ(prefix.size(), 1u) << echo.body;

  const HttpResponse script = Fetch("/owa/scripts/" + prefix[0] + "mail.js", kAlice);
  EXPECT_EQ(script.status, 200);
  EXPECT_EQ(script.body, "var mail = 'plain script';\n");
  // Not a redirect: the client never learns the plain name.
  EXPECT_TRUE(script.Header("Location").empty());
  // A plain name stays as it is, and so does the rest of /owa/ on this address.
  EXPECT_EQ(Fetch("/owa/scripts/zq_mail.js", kAlice).body, "var mail = 'plain script';\n");
  const HttpResponse inbox = Fetch("/owa/?a=1", kAlice);
  EXPECT_EQ(inbox.status, 200);
  EXPECT_EQ(inbox.body, "<html><body>inbox</body></html>\n");

  StopServer();
  EXPECT_EQ(WorkerCallsOf(kWorkerPreprocCall), 4u);
  EXPECT_EQ(WorkerCallsOf(kWorkerEndOfRequestCall), 4u);
}

TEST_F(ModuleEndToEndTest, LoopbackRequestIsRedirectedOnceToTheHostNameAndTheConnectionGoesOn) {
  StartServer({});
  const std::string host = ShortHostName();
  ASSERT_FALSE(host.empty());

  const HttpResponse first = Fetch("/owa/?a=1");
  EXPECT_EQ(first.status, 302);
  EXPECT_NE(first.headers.find("HTTP/1.1 302 Object Moved\r\n"), std::string::npos);
  EXPECT_EQ(first.Header("Location"), "http://" + host + "/owa/?a=1");
  EXPECT_EQ(first.Header("Content-Length"), "0");
  EXPECT_EQ(first.body, "");
  // The path and query as they came, escapes and all.
  const HttpResponse second = Fetch("/owa/a%20b/?q=%7E2&c");
  EXPECT_EQ(second.newConnections, 0);
  EXPECT_EQ(second.status, 302);
  EXPECT_EQ(second.Header("Location"), "http://" + host + "/owa/a%20b/?q=%7E2&c");

  // On the wire: exactly one answer per request, each framed so the next can follow.
  const std::string wire = SendRaw(server_->HttpPort(),
                                   "GET /owa/?a=1 HTTP/1.1\r\nHost: x\r\n\r\n"
                                   "GET /owa/ HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(CountOf(wire, "HTTP/1.1 "), 2u) << wire;
  EXPECT_EQ(CountOf(wire, "HTTP/1.1 302 Object Moved\r\n"), 2u) << wire;
  EXPECT_EQ(CountOf(wire, "\r\nContent-Length: 0\r\n"), 2u) << wire;
  const size_t firstLocation = wire.find("\r\nLocation: http://" + host + "/owa/?a=1\r\n");
  const size_t secondLocation = wire.find("\r\nLocation: http://" + host + "/owa/\r\n");
  EXPECT_NE(firstLocation, std::string::npos) << wire;
  EXPECT_NE(secondLocation, std::string::npos) << wire;
  EXPECT_LT(firstLocation, secondLocation);
  EXPECT_TRUE(wire.ends_with("\r\n\r\n")) << "no body after either head";

  StopServer();
  EXPECT_EQ(WorkerCallsOf("HttpFilterProc"), 0u) << "the worker is called for none of them";
}

TEST_F(ModuleEndToEndTest, LoopbackRedirectOverTlsNamesHttps) {
  ServerSetup setup;
  setup.tls = true;
  StartServer(setup);
  ASSERT_NE(server_->HttpsPort(), 0);
  HttpRequest request;
  request.url = server_->SecureUrl("/owa/?a=1");
  request.caFile = server_->CertificatePath();
  const HttpResponse response = client_.Send(request);
  EXPECT_EQ(response.curlCode, 0);
  EXPECT_EQ(response.status, 302);
  EXPECT_EQ(response.Header("Location"), "https://" + ShortHostName() + "/owa/?a=1");
  StopServer();
  EXPECT_EQ(WorkerCallsOf("HttpFilterProc"), 0u);
}

}  // namespace
}  // namespace nexoral::testing
