// Bad input end to end: each gets a clear answer and the server carries on.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "http_client.h"
#include "server_process.h"

namespace nexoral::testing {
namespace {

class LimitsEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerSetup setup;
    setup.recordingFilter = false;
    setup.extraConfig =
        "[limits]\nheader_bytes = 1024\nbody_bytes = 64\nidle_timeout = 300ms\n"
        "read_timeout = 300ms\n";
    server_ = std::make_unique<ServerProcess>(setup);
    ASSERT_TRUE(server_->Running()) << server_->ErrorOutput();
  }

  std::string Raw(const std::string& bytes) { return SendRaw(server_->HttpPort(), bytes); }

  static std::string StatusLine(const std::string& response) {
    return response.substr(0, response.find("\r\n"));
  }

  std::unique_ptr<ServerProcess> server_;
};

TEST_F(LimitsEndToEndTest, UnreadableRequestsGetTheirStatus) {
  const std::string big(2000, 'x');
  const struct {
    const char* what;
    std::string request;
    const char* status;
  } cases[] = {
      {"garbage", "GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"bare CR in a value", "GET /public/logo.txt HTTP/1.1\r\nX-A: a\rb\r\n\r\n",
       "HTTP/1.1 400 Bad Request"},
      {"absolute target", "GET http://x/ HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"headers over the limit", "GET / HTTP/1.1\r\nX-Big: " + big + "\r\n\r\n",
       "HTTP/1.1 431 Request Header Fields Too Large"},
      {"announced body over the limit",
       "POST /public/logo.txt HTTP/1.1\r\nContent-Length: 100\r\n\r\n" + std::string(100, 'b'),
       "HTTP/1.1 413 Payload Too Large"},
      {"dot segments", "GET /public/../secret.txt HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"escaped dot segments", "GET /public/%2e%2E/secret.txt HTTP/1.1\r\n\r\n",
       "HTTP/1.1 400 Bad Request"},
      {"escaped NUL", "GET /public/logo.txt%00.html HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      // The read timeout closes the connection without an answer.
      {"header cut short", "GET /public/logo.txt HTTP/1.1\r\nHost: x\r\n", ""},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(StatusLine(Raw(test.request)), test.status) << test.what;
  }
  // The server is still there.
  EXPECT_EQ(StatusLine(Raw("GET /public/logo.txt HTTP/1.1\r\nConnection: close\r\n\r\n")),
            "HTTP/1.1 200 OK");
}

TEST_F(LimitsEndToEndTest, ChunkedBodyOverTheLimitGets413) {
  const std::string response = Raw(
      "POST /public/logo.txt HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
      "50\r\n" + std::string(0x50, 'c') + "\r\n0\r\n\r\n");
  EXPECT_EQ(StatusLine(response), "HTTP/1.1 413 Payload Too Large");
}

TEST_F(LimitsEndToEndTest, SymbolicLinksOutOfTheDocumentRootAreNotFollowed) {
  ASSERT_EQ(::symlink("../../secret.txt", (server_->Folder() + "/www/public/leak.txt").c_str()), 0);
  HttpClient client;
  const HttpResponse response = client.Get(server_->Url("/public/leak.txt"));
  EXPECT_EQ(response.status, 404);
  EXPECT_EQ(response.body.find("outside"), std::string::npos);
}

TEST_F(LimitsEndToEndTest, IdleConnectionIsClosedWithoutAnAnswer) {
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(SendRaw(server_->HttpPort(), "", 5000), "");
  // Closed by the server's idle timeout, well before the client would have given up.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(4000));
}

TEST_F(LimitsEndToEndTest, EveryRequestLeavesOneAccessLogLine) {
  HttpClient client;
  client.Get(server_->Url("/public/logo.txt"));
  client.Get(server_->Url("/public/missing.txt"));
  client.Get(server_->Url("/owa/"));
  Raw("GARBAGE\r\n\r\n");
  ASSERT_EQ(server_->Stop(), 0);
  const std::string log = server_->AccessLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
  EXPECT_NE(log.find("\"GET /public/logo.txt HTTP/1.1\" 200 "), std::string::npos) << log;
  EXPECT_NE(log.find("\"GET /public/missing.txt HTTP/1.1\" 404 "), std::string::npos) << log;
  EXPECT_NE(log.find("\"GET /owa/ HTTP/1.1\" 401 "), std::string::npos) << log;
  EXPECT_NE(log.find("\" 400 "), std::string::npos) << log;
}

}  // namespace
}  // namespace nexoral::testing
