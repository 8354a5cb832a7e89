// The server's pieces one by one: configuration, users and credentials, what a filter reads and
// changes through its callbacks, request paths and static files.
#include <crypt.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "authenticator.h"
#include "compression.h"
#include "e2e_support.h"
#include "harness/temp_folder.h"
#include "header_access.h"
#include "platform/error_codes.h"
#include "request_intake.h"
#include "request_path.h"
#include "response_writer.h"
#include "server_config.h"
#include "server_variables.h"
#include "static_files.h"
#include "users_file.h"

namespace nexoral::server {
namespace {

using Text = std::optional<std::string>;
constexpr std::nullopt_t kNone = std::nullopt;

// What the end-to-end servers' configurations leave out.
TEST(ServerConfigTest, ReadsEverySectionAndAnchorsRelativePaths) {
  const ConfigResult result = ParseServerConfig(
      "# comment\n[server]\nmodule = lib/nexoral.so\n\n[listen]\nhttps = [fe80::1]:65535\n"
      "[tls]\ncertificate = /c.pem\nprivate_key = k.pem\n[limits]\nread_timeout = 7\n",
      "/etc/nexoral/server.conf");
  ASSERT_FALSE(result.error) << result.error->ToString();
  const ServerConfig& c = result.config;
  EXPECT_EQ(std::tie(c.modulePath, c.certificatePath, c.https->host, c.https->port, c.readTimeout),
            std::make_tuple("/etc/nexoral/lib/nexoral.so", "/c.pem", "fe80::1", 65535,
                            Duration(7000)));
}

// Proxies are trusted by address or range, IPv4 ones also when the peer comes as IPv4-mapped.
TEST(ServerConfigTest, TrustedProxiesMatchTheirAddressesAndRangesOnly) {
  const ConfigResult result = ParseServerConfig(
      "[server]\ntrusted_proxies = 10.0.0.0/8, 2001:db8::/32\ntrusted_proxies = 192.0.2.7,::1\n"
      "[listen]\nhttp = 127.0.0.1:80\n", "server.conf");
  ASSERT_FALSE(result.error) << result.error->ToString();
  const std::pair<const char*, bool> peers[] = {
      {"10.1.2.3", true}, {"11.0.0.1", false}, {"192.0.2.7", true}, {"192.0.2.8", false},
      {"::ffff:10.9.9.9", true}, {"::1", true}, {"::2", false}, {"2001:db8:ff::5", true},
      {"2001:db9::5", false}, {"", false}, {"10.0.0.1/8", false}};
  for (const auto& [peer, trusted] : peers) {
    EXPECT_EQ(InAddressRanges(result.config.trustedProxies, peer), trusted) << peer;
  }
  EXPECT_FALSE(InAddressRanges({}, "10.1.2.3"));
}

// Host values: a reg-name, IPv4 or [IPv6], and an optional port.
TEST(RequestIntakeTest, HostsAreNamesOrAddressesWithAnOptionalPort) {
  const std::pair<const char*, bool> hosts[] = {
      {"mail.contoso.com:8443", true}, {"192.0.2.1", true}, {"[::1]:80", true}, {"[::1]", true},
      {"x:", true}, {"a%41b", true}, {"", false}, {":80", false}, {"a b", false}, {"x/y", false},
      {"user@x", false}, {"a%4", false}, {"x:65536", false}, {"x:8a", false}, {"x:1:2", false},
      {"[::1", false}, {"[::1]x", false}, {"[fe80::1%eth0]", false}, {"[v1.x]", false},
      {"::1", false}, {"[]", false}};
  for (const auto& [host, valid] : hosts) EXPECT_EQ(IsValidHost(host), valid) << host;
}

TEST(ServerConfigTest, ReportsTheFirstErrorWithItsLine) {
  const std::string http = "[listen]\nhttp = 127.0.0.1:80\n";
  std::vector<std::tuple<std::string, unsigned, std::string>> cases = {  // line, message start
      {http + "[server]\nthreads = 0\n", 4, "server.threads: expected a thread count"},
      {http + "[nowhere]\n", 3, "unknown section [nowhere]"},
      {"threads = 2\n", 1, "key outside of a [section]"},
      {"[listen]\nhttp 127.0.0.1:80\n", 2, "expected key = value"},
      {http + "[proxy]\nroute = /api/\n", 4, "proxy.route: expected a URL path prefix"},
      {"[listen]\nhttps = 127.0.0.1:443\n", 2, "listen.https needs [tls] certificate"},
      {http + "[auth]\ncrypt_threads = 65\n", 4, "auth.crypt_threads: expected a thread"},
      {http + "[auth]\nfailure_addresses = 15\n", 4, "auth.failure_addresses: expected"},
      {http + "[compression]\nlevel = 10\n", 4, "compression.level: expected a level"},
      {http + "[compression]\ntypes = text/html text\n", 4, "compression.types: expected"},
      {http + "[proxy]\nidentity_upstream = yes\n", 4, "proxy.identity_upstream: expected"},
      {"[server]\nthreads = 2\n", 0, "no listener"}};
  for (const char* address : {"localhost:80", "127.0.0.1", ":80", "127.0.0.1:65536", "::1:80",
                              "[]:80", "1.2.3.4:x"}) {
    cases.push_back({"[listen]\nhttp = " + std::string(address) + "\n", 2, "listen.http:"});
  }
  for (const char* range : {"10.0.0.0/33", "::1/129", "host", "10.0.0.1/", "1.2.3", "a, ,b"}) {
    cases.push_back({http + "[server]\ntrusted_proxies = " + range + "\n", 4, "server.trusted"});
  }
  for (const char* duration : {"soon", "ms", "-1s", "1m", "99999999999999999s"}) {
    cases.push_back({http + "[limits]\nidle_timeout = " + duration + "\n", 4, "limits.idle"});
  }
  for (const auto& [text, line, message] : cases) {
    const ConfigResult result = ParseServerConfig(text, "server.conf");
    ASSERT_TRUE(result.error) << text;
    EXPECT_EQ(result.error->line, line) << text;
    EXPECT_TRUE(result.error->message.starts_with(message)) << result.error->message;
  }
}

TEST(UsersAndCredentialsTest, DecideBetweenAnonymousUserAndDenied) {
  crypt_data scratch{};
  const std::string hash = crypt_rn("wonderland", "$6$testsalt$", &scratch, sizeof(scratch));
  UsersFileError error;
  const std::optional<UsersFile> file = UsersFile::Parse(
      "# comment\n\nalice:" + hash + ":CONTOSO:S-1-5-21-1-2-3-1001:S-1-5-21-1-2-3-513\r\n"
      "locked:*:CONTOSO:S-1-5-21-1-2-3-1003:\n", &error);
  ASSERT_TRUE(file) << error.line << " " << error.message;
  const std::pair<const char*, unsigned> malformed[] = {  // the text and the line at fault
      {"a:h:D:S-1-5\n", 1}, {"# ok\na:$6$x:D:not-a-sid:\n", 2},
      {"a:$6$x:D:S-1-5-1:S-1-5-2,oops\n", 1}, {":$6$x:D:S-1-5-1:\n", 1},
      {"a:$6$x:D:S-1-5-1:\nA:$6$y:D:S-1-5-2:\n", 2}, {"a::D:S-1-5-1:\n", 1}};
  for (const auto& [text, line] : malformed) {
    EXPECT_FALSE(UsersFile::Parse(text, &error)) << text;
    EXPECT_EQ(error.line, line) << text;
  }
  // The authenticator over the file: anonymous paths, Basic credentials, or denied. Who the
  // user is comes through the token the filter gets: end to end.
  using Kind = AuthResult::Kind;
  const Authenticator users(file, {"/public/"}, "Mail \"Box\"");
  const Authenticator open(std::nullopt, {"/"}, "x");
  const Authenticator closed(std::nullopt, {}, "x");
  const char* alice = "Basic YWxpY2U6d29uZGVybGFuZA==";  // alice:wonderland
  const std::tuple<const Authenticator&, const char*, const char*, Kind> cases[] = {
      {users, "/public/a.css", "", Kind::kAnonymous}, {users, "/publicity", "", Kind::kDenied},
      {users, "/owa/", alice, Kind::kAuthenticated},
      {users, "/owa/", "basic Q09OVE9TT1xhbGljZTp3b25kZXJsYW5k", Kind::kAuthenticated},
      // ALICE:wonderland, alice:Wonderland, nobody:wonderland, locked:*
      {users, "/", "Basic QUxJQ0U6d29uZGVybGFuZA==", Kind::kAuthenticated},
      {users, "/", "Basic YWxpY2U6V29uZGVybGFuZA==", Kind::kDenied},
      {users, "/", "Basic bm9ib2R5OndvbmRlcmxhbmQ=", Kind::kDenied},
      {users, "/", "Basic bG9ja2VkOio=", Kind::kDenied},
      {users, "/owa/", "Basic T1RIRVJcYWxpY2U6d29uZGVybGFuZA==", Kind::kDenied},  // OTHER\alice
      {users, "/owa/", "", Kind::kDenied}, {users, "/owa/", "Bearer abc", Kind::kDenied},
      {users, "/owa/", "Basic", Kind::kDenied}, {users, "/owa/", "Basic !!!!", Kind::kDenied},
      {users, "/owa/", "Basic YWxpY2U=", Kind::kDenied},
      {users, "/owa/", "Basic YWxpY2U6d29uZGVybGFuZA", Kind::kDenied},
      {open, "/anything", alice, Kind::kAnonymous}, {closed, "/owa/", alice, Kind::kDenied}};
  for (const auto& [authenticator, path, authorization, kind] : cases) {
    const AuthResult result = authenticator.Check(path, authorization);
    EXPECT_EQ(result.kind, kind) << path << " " << authorization;
    EXPECT_EQ(result.LogonUser(), kind == Kind::kAuthenticated ? "CONTOSO\\alice" : "");
  }
  EXPECT_EQ(users.Challenge(), "Basic realm=\"Mail \\\"Box\\\"\"");
}

// Every check costs one crypt(3), known user or not, so the time taken does not tell which names
// exist; weak or uncheckable hashes are refused when the file loads, with their line.
TEST(UsersAndCredentialsTest, CheckEveryNameAlikeAndRefuseWeakHashes) {
  crypt_data scratch{};
  const std::string good = crypt_rn("wonderland", "$6$testsalt$", &scratch, sizeof(scratch));
  const std::string head = "# users\nalice:" + good + ":D:S-1-5-1:\nlocked:*:D:S-1-5-3:\n";
  UsersFileError error;
  const std::optional<UsersFile> file = UsersFile::Parse(head, &error);
  ASSERT_TRUE(file) << error.message;
  for (const char* user : {"alice", "nobody", "locked"}) {
    const unsigned long before = file->CryptCalls();
    EXPECT_FALSE(file->Authenticate(user, "guess")) << user;
    EXPECT_EQ(file->CryptCalls(), before + 1) << user;
  }
  const std::pair<std::string, std::string> hashes[] = {  // the hash, the error's start or ""
      {"abJnggxhB/yWI", "DES-crypt"}, {"_J9..CCCCXBrJUJV154M", "extended DES"},
      {"$1$salt$qJH7.N4xYta3aEG/dfqo/0", "MD5-crypt"},
      {"$3$$8846f7eaee8fb117ad06bdd830b7586c", "legacy"}, {"$md5$abc$def", "legacy"},
      {"$6$!!$", "the password hash is not"}, {"$zz$x", "the password hash is not"},
      {good, ""}, {"$y$j9T$6ntZ/1rOZGIjVZlnHEkwE/", ""}, {"!$1$salt$x", ""}, {"*", ""}};
  for (const auto& [hash, message] : hashes) {
    const std::string text = head + "bob:" + hash + ":D:S-1-5-2:\n";
    const std::optional<UsersFile> loaded = UsersFile::Parse(text, &error);
    EXPECT_EQ(!loaded, !message.empty()) << hash;
    EXPECT_TRUE(loaded || (error.line == 4 && error.message.starts_with(message))) << hash;
  }
}

// Explicit instants, no clock: two failures slow an address (IPv4 as such or mapped, IPv6 by its
// /64); its checks then come one a second, at most eight waiting; a quiet minute forgets it; and
// many addresses cannot grow the table past its size.
TEST(UsersAndCredentialsTest, FailuresSlowTheirAddressInABoundedTable) {
  const AuthLimits limits{1, 2, std::chrono::seconds(60), std::chrono::seconds(1), 32};
  FailureLimiter failures(limits);
  const FailureLimiter::Clock::time_point start = FailureLimiter::Clock::now();
  std::vector<std::tuple<int, std::string, bool, long>> steps = {  // second, address, failed, wait
      {0, "192.0.2.1", true, 0}, {1, "::ffff:192.0.2.1", true, 0}, {2, "192.0.2.2", false, 0},
      {2, "192.0.2.1", false, 1000}, {2, "192.0.2.1", false, 2000},
      {4, "2001:db8::1", true, 0}, {4, "2001:db8::2", true, 0}, {5, "2001:db8::ff", false, 1000},
      {5, "2001:db8:0:1::1", false, 0}};
  for (long wait = 2000; wait <= 9000; wait += 1000) steps.emplace_back(3, "192.0.2.1", 0, wait);
  steps.emplace_back(62, "192.0.2.1", false, 0);
  for (const auto& [second, address, failed, wait] : steps) {
    const auto now = start + std::chrono::seconds(second);
    const FailureLimiter::Key key = FailureLimiter::KeyOf(address);
    if (failed) {
      failures.RecordFailure(key, now);
      continue;
    }
    const std::optional<Duration> admitted = failures.Admit(key, now);
    EXPECT_EQ(admitted ? admitted->count() : -1, wait > 8000 ? -1 : wait) << second << address;
  }
  for (unsigned i = 0; i < 5000; ++i) {
    failures.RecordFailure(FailureLimiter::KeyOf("10.0." + std::to_string(i / 256) + "." +
                                                 std::to_string(i % 256)), start);
  }
  EXPECT_LE(failures.Tracked(), limits.failureAddresses);
}

http::request_header<> SampleRequest() {
  http::request<http::empty_body> request{http::verb::get, "/owa/?ae=Folder&t=IPF.Note", 11};
  request.set(http::field::host, "mail.contoso.com:8443");
  request.insert("Accept-Language", "en");
  request.insert("Accept-Language", "de");
  request.set("X-Forwarded-For", "10.0.0.1");
  return request.base();
}

TEST(HeaderAccessTest, ReadsAndChangesHeadersAndTheRequestLineByTheirFilterNames) {
  http::request_header<> request = SampleRequest();
  const std::pair<const char*, Text> reads[] = {  // the request line's names: end to end
      {"Accept-Language:", "en, de"}, {"HOST:", "mail.contoso.com:8443"}, {"Cookie:", kNone}};
  for (const auto& [name, value] : reads) EXPECT_EQ(GetFilterHeader(request, name), value) << name;
  // In turn: set (or add) a value, then read the name back. Refused is what would break the
  // header block or the request line: the value stays.
  const std::tuple<const char*, const char*, bool, bool, Text> steps[] = {
      // name, value, add, accepted, then the value
      {"Accept-Language:", "fr", false, true, "fr"}, {"X-Tag:", "one", true, true, "one"},
      {"X-Tag:", "two", true, true, "one, two"}, {"X-Tag:", "", false, true, kNone},
      {"URL", "/owa/app.js", false, true, "/owa/app.js"},
      {"version", "HTTP/1.0", false, true, "HTTP/1.0"},
      {"X-Evil:", "a\r\nSet-Cookie: x=1", false, false, kNone},
      {"X-Evil:", "a\nb", false, false, kNone}, {"X-Evil:", "a\rb", false, false, kNone},
      {"Bad Name:", "x", false, false, kNone}, {":", "x", false, false, kNone},
      {"url", "http://elsewhere/", false, false, "/owa/app.js"},
      {"url", "/a b", false, false, "/owa/app.js"}, {"url", "/a\r\n", false, false, "/owa/app.js"},
      {"url", "/x", true, false, "/owa/app.js"},  // a request has one URL
      {"method", "GET /x", false, false, "GET"}, {"version", "HTTP/2", false, false, "HTTP/1.0"}};
  for (const auto& [name, value, add, accepted, after] : steps) {
    SetLastError(0);
    EXPECT_EQ(SetFilterHeader(request, name, value, add), accepted) << name << " " << value;
    EXPECT_EQ(GetLastError(), accepted ? 0u : ERROR_INVALID_PARAMETER) << name;
    EXPECT_EQ(GetFilterHeader(request, name), after) << name;
  }
  // Header text a filter hands over: lines, the last one with or without its line end.
  const std::pair<const char*, int> texts[] = {  // the number of fields, -1 when refused
      {"Location: http://mail/owa/", 1}, {"A: 1\r\nB: 2\r\n", 2}, {"", 0},
      {"A: 1\r\n\r\nB: 2\r\n", -1}, {"A: 1\nB: 2", -1}, {"no colon\r\n", -1},
      {"A: x\ry\r\n", -1}, {"A: 1\r\nHTTP/1.1 200 OK\r\n", -1}};
  for (const auto& [text, count] : texts) {
    const auto fields = ParseFilterHeaderLines(text);
    EXPECT_EQ(fields ? std::distance(fields->begin(), fields->end()) : -1, count) << text;
  }
}

// The names a filter reads one by one and the buffer protocol: end to end.
TEST(ServerVariablesTest, AllHeadersInOneValue) {
  const http::request_header<> request = SampleRequest();
  const ConnectionFacts connection{"192.0.2.7", 50123, "192.0.2.1", 8443, true, "fallback"};
  const RequestFacts facts{&request, "/original/?x", {}, false};
  EXPECT_EQ(FindServerVariable(connection, &facts, "ALL_HTTP"),
            "HTTP_HOST:mail.contoso.com:8443\nHTTP_ACCEPT_LANGUAGE:en\nHTTP_ACCEPT_LANGUAGE:de\n"
            "HTTP_X_FORWARDED_FOR:10.0.0.1\n");
  EXPECT_EQ(FindServerVariable(connection, &facts, "ALL_RAW"),
            "Host: mail.contoso.com:8443\r\nAccept-Language: en\r\nAccept-Language: de\r\n"
            "X-Forwarded-For: 10.0.0.1\r\n");
  EXPECT_FALSE(FindServerVariable(connection, nullptr, "URL"));  // outside a request
}

// Request paths as routed and authorised, and the static files they may reach.
TEST(RequestPathAndStaticFilesTest, OnlyUnambiguousPathsInsideTheRootReachAFile) {
  const std::pair<const char*, Text> targets[] = {
      {"/owa/a%20b.js?x=%2e%2e", "/owa/a b.js"}, {"/", "/"}, {"/a/..b/c..d/", "/a/..b/c..d/"},
      {"", kNone}, {"owa/", kNone}, {"/a/../b", kNone}, {"/a/./b", kNone}, {"/..", kNone},
      {"/a/%2E%2e/b", kNone}, {"/a/%2e/b", kNone}, {"/a%00b", kNone}, {"/a%", kNone},
      {"/a%2", kNone}, {"/a%zz", kNone}, {"/a/..", kNone}, {"/a\\b", kNone}, {"/a%5cb", kNone},
      {"/a%5C..%5Cb", kNone}, {"/a%0Db", kNone}, {"/a%0ab", kNone}};
  for (const auto& [target, path] : targets) EXPECT_EQ(DecodeRequestPath(target), path) << target;
  EXPECT_EQ(TargetQuery("/a?b=c?d"), "b=c?d");

  testing::TempFolder folder;
  folder.WriteFile("www/owa/index.html", "inbox");
  folder.WriteFile("secret.txt", "secret");
  ASSERT_EQ(::symlink("../../secret.txt", folder.Join("www/owa/leak.txt").c_str()), 0);
  ASSERT_EQ(::symlink("index.html", folder.Join("www/owa/home.html").c_str()), 0);
  const StaticFiles files(folder.Join("www"), "index.html");
  using Status = http::status;
  constexpr http::verb get = http::verb::get;
  const std::tuple<http::verb, const char*, bool, Status, const char*> cases[] = {
      // method, path, resolved to a file, status, location; home.html links inside the root
      {get, "/owa/index.html", true, Status::ok, ""}, {get, "/owa/", true, Status::ok, ""},
      {get, "/owa/home.html", true, Status::ok, ""}, {get, "/no", false, Status::not_found, ""},
      {get, "/owa/leak.txt", false, Status::not_found, ""},
      {get, "/owa", false, Status::moved_permanently, "/owa/?a=1"},
      {http::verb::post, "/owa/", true, Status::method_not_allowed, ""}};
  for (const auto& [method, path, resolved, status, location] : cases) {
    EXPECT_EQ(files.Resolve(path).has_value(), resolved) << path;
    const OutgoingResponse response = files.Serve(method, path, "a=1");
    EXPECT_EQ(std::make_pair(response.head.result(), response.head[http::field::location]),
              std::make_pair(status, beast::string_view(location))) << path;
  }
  EXPECT_EQ(files.Resolve("/owa/"), files.Resolve("/owa/index.html"));
  // A precompressed copy beside the file, only when asked for and not older than the file.
  folder.WriteFile("www/owa/index.html.gz", "packed");
  EXPECT_EQ(files.Serve(get, "/owa/", "", true).head[http::field::content_encoding], "gzip");
  EXPECT_EQ(files.Serve(get, "/owa/", "", false).head[http::field::content_encoding], "");
  std::filesystem::last_write_time(
      folder.Join("www/owa/index.html.gz"),
      std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  EXPECT_EQ(files.Serve(get, "/owa/", "", true).head[http::field::content_encoding], "");
  EXPECT_EQ(ContentTypeFor("/owa/app.JS"), "text/javascript; charset=utf-8");
  EXPECT_EQ(ContentTypeFor("/dir.d/app"), "application/octet-stream");
}

// Chunks the client and the filter get: the pieces' bytes in order, none longer than four
// hexadecimal digits say, none empty (an empty one would end the body).
TEST(ResponseFramingTest, ChunksCarryEveryByteAndAtMostFourHexDigits) {
  const std::string big(70000, 'b');
  const struct {
    std::vector<std::string_view> pieces;
    bool chunked;
    std::vector<size_t> sizes;  // of the chunks, when chunked
  } cases[] = {
      {{"abc", "", big}, false, {}},
      {{"abc", "", big}, true, {3, 0xFFFF, 70000 - 0xFFFF}},
      {{std::string_view(big).substr(0, 0x10000)}, true, {0xFFFF, 1}},
  };
  for (const auto& c : cases) {
    std::string wire;
    ResponseWriter::AppendFramed(c.pieces, c.chunked, wire);
    std::string expected;
    for (const std::string_view piece : c.pieces) expected.append(piece);
    if (!c.chunked) {
      EXPECT_EQ(wire, expected);
      continue;
    }
    std::string data;
    std::vector<size_t> sizes;
    for (size_t at = 0; at < wire.size();) {
      const size_t lineEnd = wire.find("\r\n", at);
      ASSERT_NE(lineEnd, std::string::npos);
      sizes.push_back(std::stoul(wire.substr(at, lineEnd - at), nullptr, 16));
      data += wire.substr(lineEnd + 2, sizes.back());
      at = lineEnd + 2 + sizes.back();
      ASSERT_EQ(wire.substr(at, 2), "\r\n");
      at += 2;
    }
    EXPECT_EQ(sizes, c.sizes);
    EXPECT_EQ(data, expected);
  }
}

// Who gets gzip: the client's Accept-Encoding (weights, "*", identity, hostile values) and the
// response (status, type, length, codings already there, no-transform).
TEST(CompressionTest, AcceptEncodingAndTheResponseDecide) {
  const std::tuple<unsigned, Text, bool> clients[] = {  // version, Accept-Encoding, gets gzip
      {11, "gzip", true}, {11, " GZip ; Q=0.5 ", true}, {11, "x-gzip", true}, {11, "*", true},
      {11, kNone, false}, {11, "", false}, {10, "gzip", false}, {11, "gzip;q=0", false},
      {11, "*, gzip;q=0", false}, {11, "*;q=0", false}, {11, "deflate, br", false},
      {11, "identity;q=0", false}, {11, "gzip;q=0.5, identity", false},
      {11, "identity;q=0.999, gzip;q=1.000", true}, {11, "gzip;q=2", false},
      {11, "gzip;q=0.5x", false}, {11, "gzip;q=-1", false}, {11, ",,;q=,=, gzip ;q = 0.8,", true},
      {11, std::string(20000, ',') + "br;q=1," + std::string(20000, ';') + ",gzip", true}};
  for (const auto& [version, accept, gzip] : clients) {
    http::request_header<> request;
    request.version(version);
    if (accept) request.set(http::field::accept_encoding, *accept);
    EXPECT_EQ(TakesGzip(request), gzip) << accept.value_or("(none)").substr(0, 40);
  }
  const CompressionSettings settings;
  const std::tuple<unsigned, std::string, std::string, bool, bool> responses[] = {
      // status, Content-Type, another field, Vary, gzip (for a client that takes it)
      {200, "Text/HTML; charset=utf-8", "", true, true}, {200, "application/json", "", true, true},
      {200, "image/svg+xml", "Content-Length: 256", true, true}, {404, "text/css", "", true, true},
      {304, "text/html", "", true, true}, {304, "", "", false, false},
      {200, "image/png", "", false, false}, {200, "text", "", false, false},
      {200, "text/html", "Content-Length: 255", false, false}, {206, "text/html", "", false, false},
      {204, "text/html", "", false, false}, {200, "text/x", "Content-Encoding: br", false, false},
      {200, "text/html", "Content-Range: bytes 0-9/99", false, false},
      {200, "text/html", "Cache-Control: private, No-Transform", false, false}};
  for (const auto& [status, type, field, vary, gzip] : responses) {
    http::response_header<> head;
    head.result(status);
    if (!type.empty()) head.set(http::field::content_type, type);
    const size_t colon = field.find(':');
    if (!field.empty()) head.insert(field.substr(0, colon), field.substr(colon + 2));
    const CodingChoice choice = ChooseCoding(settings, true, head);
    EXPECT_EQ(std::make_pair(choice.vary, choice.gzip), std::make_pair(vary, gzip))
        << status << type << field;
  }
}

// The filter's output read back and compressed, whatever its framing and however it is cut into
// blocks: the client decompresses the same body, framed by a length only when it came whole.
TEST(CompressionTest, FilterOutputComesOutCompressedOrUnchanged) {
  const std::string page = testing::UpstreamPattern(100000);
  const std::string sized = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nETag: \"e\"\r\n"
                            "Content-Length: 100000\r\n\r\n" + page;
  std::string chunked =
      "HTTP/1.1 200 OK\r\nContent-Type: text/css\r\nTransfer-Encoding: chunked\r\n\r\n";
  ResponseWriter::AppendFramed(std::vector<std::string_view>{page}, true, chunked);
  chunked += kLastChunk;
  const std::string png =
      "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 3\r\n\r\nabc";
  const struct {
    std::string response;
    size_t block;     // bytes fed at a time
    bool gzip, head;  // the client takes gzip; a HEAD request
    std::string shows;  // in the output's head; "": the output is the response unchanged
  } rows[] = {
      {sized, sized.size(), true, false, "Content-Length: "}, {sized, 7, true, false, "chunked"},
      {chunked, 1000, true, false, "chunked"}, {chunked, chunked.size(), true, false, "Length"},
      {sized, 1000, false, false, "Vary: Accept-Encoding"}, {png, 5, true, false, ""},
      {sized.substr(0, sized.find("\r\n\r\n") + 4), 10, true, true, "W/\"e\""},
      {"HTTP/1.1 200 OK\r\nbad header\r\n\r\nbody", 3, true, false, ""}};
  const CompressionSettings settings;
  ResponseCompressor compressor(settings);
  for (const auto& row : rows) {
    compressor.StartFilterOutput(row.gzip, row.head);
    std::string out;
    for (size_t at = 0; at < row.response.size(); at += row.block) {
      ASSERT_TRUE(compressor.Feed(std::string_view(row.response).substr(at, row.block), out));
    }
    ASSERT_TRUE(compressor.Finish(out));
    if (row.shows.empty()) {
      EXPECT_EQ(out, row.response);
      continue;
    }
    http::response_parser<http::string_body> parser;
    parser.skip(row.head);
    parser.eager(true);
    error_code ec;
    EXPECT_EQ(parser.put(asio::buffer(out), ec), out.size()) << ec.message();
    const std::string body = parser.get().body();
    EXPECT_EQ(parser.get()[http::field::content_encoding] == "gzip", row.gzip);
    EXPECT_EQ(row.gzip && !row.head ? testing::Gunzip(body) : body, row.head ? "" : page);
    EXPECT_NE(out.substr(0, out.find("\r\n\r\n")).find(row.shows), std::string::npos)
        << out.substr(0, 300);
  }
}

}  // namespace
}  // namespace nexoral::server
