// The real module inside a whole installation, run by nexoral-server: what its request
// pre-processing does to what the upstream and the client see. HTTPS listens on 127.0.0.2, an
// address the module takes for a remote one; HTTP on 127.0.0.1, where it redirects every request
// to the host name.
#include <limits.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e_support.h"

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

}  // namespace
}  // namespace nexoral::testing
