// Reading the configuration text: values, defaults, and the first error with its line.
#include "server_config.h"

#include <gtest/gtest.h>

namespace nexoral::server {
namespace {

TEST(ServerConfigTest, ReadsEverySectionAndAnchorsRelativePaths) {
  const ConfigResult result = ParseServerConfig(
      "# comment\n"
      "[server]\nthreads = 3\nmodule = lib/nexoral.so\ndocument_root = /srv/www\n"
      "access_log = -\n\n"
      "[listen]\nhttp = 127.0.0.1:8080\nhttps = [::1]:8443\n"
      "[tls]\ncertificate = cert.pem\nprivate_key = key.pem\n"
      "[limits]\nheader_bytes = 8192\nidle_timeout = 250ms\nread_timeout = 7\n"
      "[auth]\nanonymous = /owa/scripts/\nanonymous = /public/\nrealm = Mail\n"
      "[proxy]\nroute = /ews/ 10.0.0.5:81\nroute = /api/  127.0.0.1:9000\n",
      "/etc/nexoral/server.conf");
  ASSERT_FALSE(result.error) << result.error->ToString();
  const ServerConfig& config = result.config;
  EXPECT_EQ(config.threads, 3u);
  EXPECT_EQ(config.modulePath, "/etc/nexoral/lib/nexoral.so");
  EXPECT_EQ(config.documentRoot, "/srv/www");
  EXPECT_EQ(config.accessLogPath, "-");
  EXPECT_EQ(config.https->host, "::1");
  EXPECT_EQ(config.https->port, 8443);
  EXPECT_EQ(config.certificatePath, "/etc/nexoral/cert.pem");
  EXPECT_EQ(config.headerBytes, 8192u);
  EXPECT_EQ(config.idleTimeout, Duration(250));
  EXPECT_EQ(config.readTimeout, Duration(7000));
  EXPECT_EQ(config.bodyBytes, 10u * 1024 * 1024);  // default kept
  EXPECT_EQ(config.anonymousPrefixes, (std::vector<std::string>{"/owa/scripts/", "/public/"}));
  ASSERT_EQ(config.routes.size(), 2u);
  EXPECT_EQ(config.routes[1].prefix, "/api/");
  EXPECT_EQ(config.routes[1].upstream.port, 9000);
}

TEST(ServerConfigTest, ReportsTheFirstErrorWithItsLine) {
  const struct {
    const char* text;
    unsigned line;
    const char* message;
  } cases[] = {
      {"[listen]\nhttp = 127.0.0.1:80\n[server]\nthreads = 0\n", 4,
       "server.threads: expected a thread count from 1 to 256, or auto"},
      {"[listen]\nhttp = localhost:80\n", 2,
       "listen.http: expected a numeric address and port such as 127.0.0.1:8080"},
      {"[listen]\nhttp = 127.0.0.1:80\n[nowhere]\n", 3, "unknown section [nowhere]"},
      {"threads = 2\n", 1, "key outside of a [section]"},
      {"[listen]\nhttp 127.0.0.1:80\n", 2, "expected key = value"},
      {"[listen]\nhttp = 127.0.0.1:80\n[limits]\nidle_timeout = soon\n", 4,
       "limits.idle_timeout: expected a positive duration such as 30s or 500ms"},
      {"[listen]\nhttp = 127.0.0.1:80\n[proxy]\nroute = /api/\n", 4,
       "proxy.route: expected a URL path prefix and an upstream address, such as /api/ "
       "127.0.0.1:9000"},
      {"[listen]\nhttps = 127.0.0.1:443\n", 2,
       "listen.https needs [tls] certificate and private_key"},
      {"[server]\nthreads = 2\n", 0, "no listener: set [listen] http or https"},
  };
  for (const auto& test : cases) {
    const ConfigResult result = ParseServerConfig(test.text, "server.conf");
    ASSERT_TRUE(result.error) << test.text;
    EXPECT_EQ(result.error->line, test.line) << test.text;
    EXPECT_EQ(result.error->message, test.message) << test.text;
  }
}

TEST(ServerConfigTest, AddressesAndDurations) {
  ListenAddress address;
  EXPECT_TRUE(ParseListenAddress("0.0.0.0:0", &address));
  EXPECT_TRUE(ParseListenAddress("[fe80::1]:65535", &address));
  EXPECT_EQ(address.host, "fe80::1");
  for (const char* bad : {"127.0.0.1", ":80", "127.0.0.1:65536", "::1:80", "[]:80", "1.2.3.4:x"}) {
    EXPECT_FALSE(ParseListenAddress(bad, &address)) << bad;
  }
  Duration duration{};
  EXPECT_TRUE(ParseDuration("1500ms", &duration));
  EXPECT_EQ(duration, Duration(1500));
  EXPECT_TRUE(ParseDuration("2s", &duration));
  EXPECT_EQ(duration, Duration(2000));
  for (const char* bad : {"", "ms", "-1s", "1m", "99999999999999999s"}) {
    EXPECT_FALSE(ParseDuration(bad, &duration)) << bad;
  }
}

}  // namespace
}  // namespace nexoral::server
