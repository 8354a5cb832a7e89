// nexoral-server end to end, one server per tour: the recording filter and the reverse proxy
// (what the filter is told and what its answers do to a client; bodies of every framing and
// upstream failures), the limits on bad input, and the command line.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <regex>
#include <set>

#include "e2e_support.h"

namespace nexoral::testing {
namespace {

// One request of a tour and what must come of it.
struct Step {
  std::string path;
  std::string action;  // X-Test-Action for the recording filter
  std::string user = kAlice;
  long status = 200;
  std::optional<std::string> body;
  // Texts the response head, its body or the request's record lines show ("END_OF_REQUEST ...
  // after <the notifications before it>"); "!text": none of them does.
  std::vector<std::string> shows;
  int newConnections = 0;
  bool secure = false;
  std::string data;  // a body to POST
  bool gzip = false;  // sent with "Accept-Encoding: gzip"; the body is checked decompressed
};

TEST(ServerEndToEndTest, FilterAndProxyTour) {
  TestUpstream upstream;
  ServerProcess server({.httpsAddress = "127.0.0.1",
                        .config = "[proxy]\nroute = /api/ 127.0.0.1:" +
                                  std::to_string(upstream.Port()) +
                                  "\nroute = /public/down/ 127.0.0.1:1\n"
                                  "response_timeout = 1s\nread_timeout = 2s\n"});
  ASSERT_TRUE(server.Running()) << server.Read("stderr.log");
  const std::string inbox = "<html><body>inbox</body></html>\n";
  const std::string all = "after PREPROC VARS AUTH SEND_RESPONSE RAW RAW\n";
  const Step steps[] = {
      {.path = "/owa/index.html?folder=inbox", .body = inbox,
       .shows = {"END_OF_REQUEST requests=1 " + all,
                 "PREPROC method=GET url=/owa/index.html?folder=inbox version=HTTP/1.1 secure=0",
                 "VARS URL=/owa/index.html QUERY_STRING=folder=inbox HTTP_URL=/owa/index.html?"
                 "folder=inbox REMOTE_ADDR=127.0.0.1 LOCAL_ADDR=127.0.0.1 SERVER_PORT=" +
                     std::to_string(server.HttpPort()) + " SERVER_PORT_SECURE=0 HTTPS=off "
                     "SERVER_NAME=127.0.0.1 request_method=GET HTTP_X_Test_Tag=tour, again "
                     "HTTP_COOKIE=- NO_SUCH=-",
                 "AUTH token=1 user=alice domain=CONTOSO sid=S-1-5-21-1001 groups=S-1-5-21-513,"
                 "S-1-5-32-545 LOGON_USER=CONTOSO\\alice AUTH_TYPE=Basic",
                 "SEND_RESPONSE status=200 Content-Type:=text/html; charset=utf-8",
                 "RAW bytes=32 first=<html><body>inbox</body></html>\n"},
       .newConnections = 1},
      // The URL the filter sets is the one authorised and served; the context stays with the
      // connection; a refused request reaches no AUTH_COMPLETE.
      {.path = "/public/logo.txt", .action = "rewrite:/owa/index.html", .user = "",
       .status = 401, .shows = {"requests=2 after PREPROC VARS SEND_RESPONSE RAW RAW\n",
                                "WWW-Authenticate: Basic realm=\"Nexoral\""}},
      {.path = "/public/none.txt", .action = "rewrite:/owa/index.html", .body = inbox},
      // Anonymous requests run as the server's own account.
      {.path = "/public/logo.txt", .user = "", .body = "public logo\n",
       .shows = {all, "AUTH token=1 user=", "LOGON_USER= AUTH_TYPE=\n"}},
      {.path = "/owa/index.html", .action = "accumulate", .body = "[rewritten]" + inbox,
       .shows = {"Content-Length: 43\r\n", "Content-Type: text/plain\r\n"}},
      {.path = "/owa/", .action = "writeclient", .body = "from filter",
       .shows = {"after PREPROC VARS WRITECLIENT\n", "written=1"}},
      // A head without a length gets one, so the connection carries the next request.
      {.path = "/", .action = "redirect", .user = "", .status = 302, .body = "",
       .shows = {"after PREPROC VARS REDIRECT\n", "sent=1",
                 "HTTP/1.1 302 Object Moved\r\n", "Location: http://mail/\r\n"}},
      {.path = "/owa/", .action = "addheader",
       .shows = {"X-Filter-Added: yes\r\n", "X-Seen-Status: 200\r\n"}},
      // What the filter returns: no status at all goes on; an error fails the request with 500,
      // and "finished" without an answer closes the connection, neither going on to AUTH.
      {.path = "/owa/", .action = "status:80070057", .body = inbox},
      {.path = "/", .action = "status:8000004", .status = 500, .shows = {"after PREPROC VARS\n"}},
      {.path = "/owa/", .action = "status:8000000", .status = 0, .newConnections = 1},
      {.path = "/api/open/cl/0", .body = "", .shows = {"Content-Length: 0\r\n"},
       .newConnections = 1},
      {.path = "/api/open/cl/100000", .body = UpstreamPattern(100000)},
      // Relayed chunked, and the filter sees the chunk framing down to the last chunk.
      {.path = "/api/open/chunked/1,10,100,4000,70000", .body = UpstreamPattern(74111),
       .shows = {"Transfer-Encoding: chunked\r\n", "RAW bytes=5 first=0\n"}},
      // Compressed after the filter's raw data as it comes; the upstream asked for identity.
      {.path = "/api/open/chunked/1,10,100,4000,70000", .body = UpstreamPattern(74111),
       .shows = {"Transfer-Encoding: chunked\r\n", "Content-Encoding: gzip\r\n",
                 "Vary: Accept-Encoding\r\n"},
       .gzip = true},
      {.path = "/api/open/echo", .shows = {"Accept-Encoding: identity\n", "Content-Encoding: gzip"},
       .data = std::string(300, 'm'),
       .gzip = true},
      {.path = "/api/open/echo?q=1", .shows = {"POST /api/open/echo?q=1\n", "X-Custom: kept\n",
       "X-Filter-Saw: preproc\n", "X-Forwarded-For: 127.0.0.1\n", "\n\nmail body", "!keep-alive\n"},
       .data = "mail body"},
      {.path = "/api/open/broken"},  // cut short: the next request needs a new connection
      {.path = "/api/open/cl/10", .body = UpstreamPattern(10), .newConnections = 1},
      {.path = "/public/down/x", .status = 502},
      {.path = "/api/open/cl/1/2000", .status = 504},
      {.path = "/owa/?x=1", .body = inbox, .shows = {"secure=1", "HTTPS=on"},
       .newConnections = 1, .secure = true},
      {.path = "/owa/?x=1", .body = inbox, .secure = true},
  };
  HttpClient client;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.path + " " + step.action);
    const size_t before = LinesOf(server.Read("filter.log")).size();
    std::vector<std::string> headers = {"X-Test-Tag: tour", "X-Test-Tag: again",
                                        "X-Custom: kept", "Connection: keep-alive",
                                        "X-Test-Action: " + step.action};
    if (step.gzip) headers.push_back("Accept-Encoding: gzip");
    const HttpResponse response = client.Send(
        {server.Url(step.path, step.secure), headers, step.data, step.user,
         server.CertificatePath()});
    const std::string body = step.gzip ? Gunzip(response.body) : response.body;
    std::vector<std::string> record;  // the request's lines, up to its END_OF_REQUEST
    for (int waited = 0; CountContaining(record, "END_OF_REQUEST") == 0 && waited < 200; ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(waited == 0 ? 0 : 10));
      record = LinesOf(server.Read("filter.log"));
      record.erase(record.begin(), record.begin() + static_cast<long>(before));
    }
    std::string seen = response.headers + body + "\n";
    for (const std::string& line : record) seen += line + "\n";
    EXPECT_EQ(response.status, step.status);
    EXPECT_EQ(body, step.body.value_or(body));
    for (const std::string& text : step.shows) {
      const bool absent = text.front() == '!';
      EXPECT_EQ(seen.find(text.substr(absent ? 1 : 0)) == std::string::npos, absent)
          << text << " in\n" << seen;
    }
    EXPECT_EQ(response.newConnections, step.newConnections);
  }
  // Kept-alive upstream connections: a new one only after the broken answer.
  EXPECT_EQ(upstream.ConnectionsAccepted(), 2);

  // A stop lets the request in flight finish, then terminates the filter.
  HttpResponse got;
  std::thread request([&] { got = HttpClient().Send({.url = server.Url("/api/open/cl/80/100")}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  server.SignalStop();
  request.join();
  EXPECT_EQ(got.body, UpstreamPattern(80));
  EXPECT_EQ(server.Wait(10000), 0) << server.Read("stderr.log");
  const std::vector<std::string> record = LinesOf(server.Read("filter.log"));
  EXPECT_EQ(record.empty() ? "" : record.back(), "TERMINATE");
  // Every request ended, and every connection's state was released once, at its end.
  EXPECT_EQ(CountContaining(record, " END_OF_REQUEST "), CountContaining(record, "PREPROC method"));
  std::set<std::string> connections;
  for (const std::string& line : record) connections.insert(line.substr(0, line.find(' ')) + " ");
  for (const std::string& connection : connections) {
    EXPECT_EQ(CountContaining(record, connection + "END_OF_NET_SESSION"),
              connection.starts_with("conn=") ? 1u : 0u) << connection;
  }
  // The access log names the target the client sent, and holds every request's line whole, the
  // one that ended during the stop too.
  const std::string accessLog = server.Read("access.log");
  const std::vector<std::string> lines = LinesOf(accessLog);
  const std::regex whole(R"(127\.0\.0\.1 - \S+ \[[^\]]+\] "[A-Z]+ [^"]+ HTTP/1\.1" (\d{3}|-) \d+ \d+)");
  const auto isWhole = [&](const std::string& line) { return std::regex_match(line, whole); };
  EXPECT_EQ(std::ranges::count_if(lines, isWhole), std::ssize(steps) + 1) << accessLog;
  EXPECT_EQ(CountContaining(lines, "\"GET /api/open/cl/80/100 HTTP/1.1\" 200 ") +
            CountContaining(lines, "\"GET /public/none.txt HTTP/1.1\" 200 "), 2u);
}

TEST(ServerEndToEndTest, LimitsTour) {
  // PREPROC_HEADERS, END_OF_REQUEST and END_OF_NET_SESSION only.
  ServerProcess server({.filterFlags = "4180",
                        .config = "[limits]\nheader_bytes = 1024\nbody_bytes = 64\n"
                                  "idle_timeout = 300ms\nread_timeout = 300ms\n",
                        .files = {{"www/public/1000.txt", UpstreamPattern(1000)},
                                  {"www/public/100000.txt", UpstreamPattern(100000)}}});
  ASSERT_TRUE(server.Running()) << server.Read("stderr.log");
  const std::string close = " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  const std::pair<std::string, std::string> cases[] = {  // a request, the status it gets
      {"GARBAGE\r\n\r\n", "400"}, {"GET /public/logo.txt HTTP/1.1\r\nX-A: a\rb\r\n\r\n", "400"},
      {"GET http://x/ HTTP/1.1\r\nHost: x\r\n\r\n", "400"},
      {"GET / HTTP/1.1\r\nX-Big: " + std::string(2000, 'x') + "\r\n\r\n", "431"},
      {"POST /public/logo.txt HTTP/1.1\r\nContent-Length: 100\r\n\r\n" + std::string(100, 'b'),
       "413"},
      {"POST /public/logo.txt HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n50\r\n" +
           std::string(0x50, 'c') + "\r\n0\r\n\r\n", "413"},
      {"GET /public/../secret.txt" + close, "400"}, {"GET /public/missing.txt" + close, "404"},
      {"GET /owa/" + close, "401"}, {"GET /public/logo.txt" + close, "200"},
      // The read timeout closes the connection without an answer.
      {"GET /public/logo.txt HTTP/1.1\r\nHost: x\r\n", ""}};
  for (const auto& [request, status] : cases) {
    const std::string response = SendRaw(server.HttpPort(), request);
    EXPECT_EQ(response.substr(0, 12), status.empty() ? "" : "HTTP/1.1 " + status) << request;
  }
  // An idle connection is closed by the server long before the client would give up.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(SendRaw(server.HttpPort(), "", 5000), "");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(4000));

  // Without raw data the body is compressed as it is read: whole, with the compressed length;
  // in 64 KiB reads, chunked.
  for (const size_t size : {1000, 100000}) {
    const HttpResponse got =
        HttpClient().Send({.url = server.Url("/public/" + std::to_string(size) + ".txt"),
                           .headers = {"Accept-Encoding: gzip"}});
    EXPECT_EQ(Gunzip(got.body), UpstreamPattern(size));
    const std::string framing = size < 64 * 1024
                                    ? "Content-Length: " + std::to_string(got.body.size())
                                    : "Transfer-Encoding: chunked";
    EXPECT_NE(got.headers.find(framing + "\r\n"), std::string::npos) << got.headers;
  }

  ASSERT_EQ(server.Stop(), 0) << server.Read("stderr.log");
  EXPECT_EQ(LinesOf(server.Read("access.log")).size(), std::size(cases) + 2);  // one line each
  // Only the notifications the filter asked for were delivered.
  const std::string text = server.Read("filter.log");
  EXPECT_GE(CountContaining(LinesOf(text), "END_OF_REQUEST requests=1 after PREPROC VARS"), 4u);
  for (const char* kind : {"AUTH", "SEND_RESPONSE", "RAW"}) EXPECT_EQ(text.find(kind), text.npos);
}

// --check-config reports the first error of the configuration or of its users file.
TEST(ServerEndToEndTest, CommandLineChecksTheConfiguration) {
  TempFolder folder;
  folder.WriteFile("users", "# users\nalice:$6$x$y:CONTOSO:S-1-5-21-1:\nbroken line\n");
  const std::string config = folder.Join("server.conf"), listen = "[listen]\nhttp = 127.0.0.1:80\n";
  const std::tuple<std::string, int, std::string> cases[] = {  // configuration, exit code, output
      {listen, 0, config + ": configuration OK\n"},
      {listen + "colour = blue\n", 1, config + ":3: unknown key listen.colour\n"},
      {listen + "[server]\n\ndocument_root = nowhere\n", 1,
       config + ":5: server.document_root: no such folder: " + folder.Join("nowhere") + "\n"},
      {listen + "[auth]\nusers_file = users\n", 1,
       folder.Join("users") + ":3: expected name:hash:domain:sid:group-sids\n"}};
  // The exit code and what the server printed for these arguments.
  const auto run = [](const std::string& arguments) {
    FILE* pipe = popen((NEXORAL_SERVER_PATH " " + arguments + " 2>&1").c_str(), "r");
    std::string printed(4096, '\0');
    printed.resize(std::fread(printed.data(), 1, printed.size(), pipe));
    return std::make_pair(WEXITSTATUS(pclose(pipe)), printed);
  };
  for (const auto& [text, exitCode, output] : cases) {
    WriteWholeFile(config, text);
    EXPECT_EQ(run("--check-config --config " + config), std::make_pair(exitCode, output)) << text;
  }
  // Options that print and stop, and one the server does not know.
  const std::tuple<std::string, int, std::string> options[] = {
      {"--version", 0, "nexoral-server "}, {"--help", 0, "Usage: nexoral-server [--config FILE]"},
      {"--config", 2, "nexoral-server: unknown or incomplete option --config (see --help)\n"}};
  for (const auto& [arguments, exitCode, start] : options) {
    const auto [code, printed] = run(arguments);
    EXPECT_EQ(code, exitCode) << arguments;
    EXPECT_EQ(printed.substr(0, start.size()), start);
  }
}

}  // namespace
}  // namespace nexoral::testing
