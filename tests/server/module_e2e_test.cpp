// The real module inside a whole installation, run by nexoral-server: what its request
// pre-processing does to what the upstream and the client see. HTTPS listens on 127.0.0.2, an
// address the module takes for a remote one; HTTP on 127.0.0.1, where it redirects every request
// to the host name.
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "harness/postgres_cluster.h"

namespace nexoral::testing {
namespace {

TEST(ModuleEndToEndTest, PreprocessingTour) {
  InstalledModule module(true);
  TestUpstream upstream;
  const std::string route = " 127.0.0.1:" + std::to_string(upstream.Port()) + "\n";
  ServerProcess server({.module = module.install.ModulePath(), .httpsAddress = "127.0.0.2",
                        .config = "[proxy]\nroute = /api/" + route + "route = /owa/echo/" + route,
                        .files = {{"www/owa/logo.png", "not really a picture"}}});
  ASSERT_TRUE(server.Running()) << server.Read("stderr.log");

  // Remote requests reach the upstream with the client's address; those the worker takes also
  // with the cached-script prefix, and a decorated script name becomes the plain one, its query
  // kept.
  HttpClient client;
  const auto send = [&](const std::string& path) {
    return client.Send({.url = server.Url(path, true), .user = kAlice,
                        .caFile = server.CertificatePath()});
  };
  const HttpResponse first = send("/api/open/echo/watched");
  const std::string prefix = EchoedHeaders(first.body, "ZQ_CsmPrefix").at(0);
  EXPECT_EQ(EchoFault(first, "GET /api/open/echo/watched", prefix), "");
  EXPECT_EQ(EchoFault(send("/api/open/echo/unwatched"), "GET /api/open/echo/unwatched", ""), "");
  EXPECT_EQ(EchoFault(send("/owa/echo/" + prefix + "mail.js?q=%7E1&b"),
                      "GET /owa/echo/zq_mail.js?q=%7E1&b", prefix), "");

  // A local request gets exactly one 302 to the host name, the path and query as they came,
  // framed so that the connection carries the next request.
  char name[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(gethostname(name, HOST_NAME_MAX), 0);
  const std::string host = "http://" + std::string(name).substr(0, std::string(name).find('.'));
  const std::string wire = SendRaw(server.HttpPort(),
                                   "GET /owa/?a=1 HTTP/1.1\r\nHost: x\r\n\r\n"
                                   "GET /owa/a%20b/?q=%7E2&c HTTP/1.1\r\nHost: x\r\n"
                                   "Connection: close\r\n\r\n");
  std::string rest = wire;
  for (const std::string path : {"/owa/?a=1", "/owa/a%20b/?q=%7E2&c"}) {
    const std::string head = rest.substr(0, rest.find("\r\n\r\n") + 4);
    rest.erase(0, head.size());
    EXPECT_EQ(head.rfind("HTTP/1.1 302 Object Moved\r\n", 0), 0u) << wire;
    EXPECT_NE(head.find("\r\nLocation: " + host + path + "\r\n"), std::string::npos) << wire;
    EXPECT_NE(head.find("\r\nContent-Length: 0\r\n"), std::string::npos) << wire;
  }
  EXPECT_EQ(rest, "") << wire;

  // The configured response header goes on the web-mail's responses, a picture's too (added
  // before its type keeps its body from the workers), never on a 401 nor where no worker is.
  const auto added = [&](const std::string& path, const std::string& user, long status) {
    const HttpResponse response = client.Send({.url = server.Url(path, true), .user = user,
                                               .caFile = server.CertificatePath()});
    EXPECT_EQ(response.status, status) << path;
    return response.headers.find("\r\nX-Nexoral: on\r\n") != std::string::npos;
  };
  EXPECT_TRUE(added("/owa/", kAlice, 200));
  EXPECT_TRUE(added("/owa/logo.png", kAlice, 200));
  EXPECT_FALSE(added("/owa/", "", 401));
  EXPECT_FALSE(added("/public/logo.txt", "", 200));

  // A worker answers through the module's write callback; nothing else follows its answer.
  const HttpResponse answered = send("/owa/answer");
  EXPECT_EQ(answered.status, 200);
  EXPECT_EQ(answered.body, "answered by AuthWorker");

  // The worker saw the six requests it took, and nothing of the rest.
  ExpectCleanEnd(server, module, 6);
}

// What a command wrote to its standard output.
std::string OutputOf(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (size_t n = 0; pipe != nullptr && (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
    output.append(buffer, n);
  }
  if (pipe != nullptr) pclose(pipe);
  return output;
}

// The sample worker's rewriting of web-mail pages, as curl and a browser get them: the decorated
// script right after the head tag (never inside it), the banner before the body's end, and a
// Content-Length that fits, whether the upstream sent a length or chunks; compressed after the
// rewriting for clients that take gzip, the upstream asked for an uncompressed page.
TEST(ModuleEndToEndTest, RewritingTour) {
  InstalledModule module(true);
  TestUpstream upstream;
  ServerProcess server(
      {.module = module.install.ModulePath(), .httpAddress = "127.0.0.2",
       .config = "anonymous = /owa/scripts/\n[proxy]\nroute = /owa/up/ 127.0.0.1:" +
                 std::to_string(upstream.Port()) + "\n[compression]\nmin_length = 20\n",
       .files = {{"www/owa/scripts/zq_nexoral-demo.js", ReadWholeFile(NEXORAL_DEMO_SCRIPT)}}});
  ASSERT_TRUE(server.Running()) << server.Read("stderr.log");
  HttpClient client;
  const HttpResponse echo = client.Send(
      {.url = server.Url("/owa/up/echo"), .headers = {"Accept-Encoding: gzip"}, .user = kAlice});
  const std::string prefix = EchoedHeaders(Gunzip(echo.body), "ZQ_CsmPrefix").at(0);
  EXPECT_EQ(EchoedHeaders(Gunzip(echo.body), "Accept-Encoding"),
            std::vector<std::string>{"identity"});
  const struct {
    std::string path;
    std::vector<std::string> headers;
    bool gzip = false;
  } rows[] = {{"/owa/up/page", {}},
              {"/owa/up/page-chunked", {}},
              {"/owa/up/page", {"ZQ_CsmPrefix: \"><i>zq_"}},  // a client's prefix is not taken
              {"/owa/up/page", {"Accept-Encoding: gzip"}, true},
              {"/owa/up/page-chunked", {"Accept-Encoding: br, GZIP;q=0.5"}, true}};
  for (const auto& row : rows) {
    const HttpResponse page =
        client.Send({.url = server.Url(row.path), .headers = row.headers, .user = kAlice});
    EXPECT_EQ(page.headers.find("\r\nContent-Encoding: gzip\r\n") != std::string::npos, row.gzip);
    EXPECT_NE(page.headers.find("\r\nVary: Accept-Encoding\r\n"), std::string::npos);
    EXPECT_EQ(row.gzip ? Gunzip(page.body) : page.body,
              "<html><head data-x=\"a>b\"><script src=\"/owa/scripts/" + prefix +
                  "nexoral-demo.js\"></script><title>" + row.path +
                  "</title></head><body>mail<div id=\"nexoral-banner\">Nexoral: "
                  "signed in as alice</div></body></html>");
    const std::string length = "\r\nContent-Length: " + std::to_string(page.body.size()) + "\r\n";
    EXPECT_NE(page.headers.find(length), std::string::npos) << row.path << "\n" << page.headers;
  }
  // HEAD gets the head the GET would.
  const HttpResponse head = client.Send({.url = server.Url("/owa/up/page"),
                                         .headers = {"Accept-Encoding: gzip"}, .user = kAlice,
                                         .head = true});
  for (const char* field : {"\r\nContent-Encoding: gzip\r\n", "\r\nVary: Accept-Encoding\r\n"}) {
    EXPECT_NE(head.headers.find(field), std::string::npos) << head.headers;
  }

  // A browser loads the page and the script, which marks the body.
  TempFolder profile;
  const std::string chromium = "timeout 120 chromium --headless --no-sandbox --disable-gpu "
                               "--user-data-dir='" + profile.Path() + "' --dump-dom ";
  const bool starts =
      OutputOf(chromium + "about:blank 2>/dev/null").find("<html") != std::string::npos;
  const std::string url = "'http://" + kAlice + "@" + server.Url("/owa/up/page").substr(7) + "'";
  const std::string dom = starts ? OutputOf(chromium + url + " 2>/dev/null") : "";
  EXPECT_EQ(server.Stop(), 0) << server.Read("stderr.log");
  if (!starts) GTEST_SKIP() << "chromium cannot start: the page was not loaded in a browser";
  EXPECT_NE(dom.find("<body data-nexoral=\"script-ran\">"), std::string::npos) << dom;
}

// The demo's users, criteria and directory behind the server: the upstream learns each request's
// criterion, and a user's banner setting, stored by one request, holds for that user's next
// request and after a restart, and for no one else.
// The demo's installation (criteria, directory, users) with the module, behind which /owa/up/
// reaches the upstream.
ServerSetup DemoSetup(InstalledModule& module, const TestUpstream& upstream) {
  for (const std::string name : {"ZQCriteria.xml", "Directory.conf", "directory.ldif"}) {
    module.install.CopyIn(NEXORAL_DEMO_FOLDER + name, "Zephyrquill/Nexoral/Settings/" + name);
  }
  return {.module = module.install.ModulePath(), .httpAddress = "127.0.0.2",
          .config = "[proxy]\nroute = /owa/up/ 127.0.0.1:" + std::to_string(upstream.Port()) + "\n",
          .files = {{"users", ReadWholeFile(NEXORAL_DEMO_FOLDER "users")}}};
}

// Whether the sample worker's banner is on the user's web-mail page (query: "?banner=0|1" stores
// the user's choice first); the page must come.
bool BannerShown(HttpClient& client, const ServerProcess& server, const std::string& user, const std::string& query) {
  const HttpResponse page = client.Send({.url = server.Url("/owa/up/page" + query), .user = user});
  EXPECT_EQ(page.status, 200) << user << query;
  return page.body.find("nexoral-banner") != std::string::npos;
}

// Asks again for up to five seconds until condition holds.
bool Eventually(const std::function<bool()>& condition) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return condition();
}

TEST(ModuleEndToEndTest, DemoCriteriaAndAUsersSettingAcrossRestarts) {
  InstalledModule module(true);
  TestUpstream upstream;
  const ServerSetup setup = DemoSetup(module, upstream);
  HttpClient client;
  const auto bannerShown = [&](const ServerProcess& server, const std::string& user, const std::string& query) {
    return BannerShown(client, server, user, query);
  };
  {
    ServerProcess server(setup);
    ASSERT_TRUE(server.Running()) << server.Read("stderr.log");
    const struct { std::string header, criterion; } rows[] = {
        {"X-Any: 1", "50"},  // the demo users' group
        {"Host: mail.example.com", "40"},
        {"User-Agent: Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1)", "30"}};
    for (const auto& row : rows) {
      const HttpResponse echo = client.Send({.url = server.Url("/owa/up/echo"), .headers = {row.header}, .user = "demo:demo"});
      EXPECT_EQ(EchoedHeaders(echo.body, "ZQ_CRITERIA"), std::vector<std::string>{row.criterion}) << echo.body;
    }
    EXPECT_FALSE(bannerShown(server, "demo:demo", "?banner=0"));
    EXPECT_FALSE(bannerShown(server, "demo:demo", ""));
    EXPECT_TRUE(bannerShown(server, "alice:alice", ""));
    EXPECT_EQ(server.Stop(), 0) << server.Read("stderr.log");
  }
  ServerProcess again(setup);
  ASSERT_TRUE(again.Running()) << again.Read("stderr.log");
  EXPECT_FALSE(bannerShown(again, "demo:demo", ""));
  EXPECT_TRUE(bannerShown(again, "demo:demo", "?banner=1"));
  EXPECT_TRUE(bannerShown(again, "demo:demo", ""));
}

// Two front ends on one PostgreSQL store: a setting stored through one reaches the other's
// cache; with the database away pages still come, with the defaults, and nothing is stored or
// cached for good; once it is back both recover by themselves; what a cut feed missed goes.
TEST(ModuleEndToEndTest, TwoFrontEndsOnOneDatabaseAgreeAndOutliveItsRestart) {
  PostgresCluster cluster;
  ASSERT_FALSE(cluster.Uri().empty()) << "no PostgreSQL server could be started";
  InstalledModule module(true);
  const PostgresStoreEnvironment store(cluster, "2000");
  TestUpstream upstream;
  const ServerSetup setup = DemoSetup(module, upstream);
  ServerProcess a(setup), b(setup);
  ASSERT_TRUE(a.Running() && b.Running()) << a.Read("stderr.log") << b.Read("stderr.log");
  HttpClient client;
  EXPECT_TRUE(BannerShown(client, b, "demo:demo", ""));  // b caches demo's settings
  EXPECT_FALSE(BannerShown(client, a, "demo:demo", "?banner=0"));
  EXPECT_TRUE(Eventually([&] { return !BannerShown(client, b, "demo:demo", ""); }));
  EXPECT_FALSE(BannerShown(client, a, "alice:alice", "?banner=0"));  // stored; b never read it

  ASSERT_TRUE(cluster.Stop());
  EXPECT_TRUE(BannerShown(client, b, "alice:alice", ""));  // the defaults, not cached
  EXPECT_TRUE(BannerShown(client, b, "demo:demo", "?banner=1"));  // not stored, not cached
  ASSERT_TRUE(cluster.Start());
  EXPECT_TRUE(Eventually([&] { return !BannerShown(client, b, "alice:alice", ""); }));
  EXPECT_FALSE(BannerShown(client, b, "demo:demo", ""));
  EXPECT_FALSE(BannerShown(client, a, "demo:demo", ""));
  // The feeds are back too: a store through b reaches a's cache.
  EXPECT_TRUE(BannerShown(client, b, "demo:demo", "?banner=1"));
  EXPECT_TRUE(Eventually([&] { return BannerShown(client, a, "demo:demo", ""); }));
  // A note sent while the feeds are cut is lost, but a feed that joins again clears its cache.
  ASSERT_NE(cluster.Sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE query LIKE 'LISTEN%'"), "failed");
  EXPECT_FALSE(BannerShown(client, b, "demo:demo", "?banner=0"));
  EXPECT_TRUE(Eventually([&] { return !BannerShown(client, a, "demo:demo", ""); }));
}

}  // namespace
}  // namespace nexoral::testing
