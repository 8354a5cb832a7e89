// The reverse proxy end to end, against the scriptable upstream: bodies of every framing come
// through whole and in raw blocks the filter sees, upstream failures become clear answers.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "e2e_support.h"
#include "http_client.h"
#include "server_process.h"
#include "test_upstream.h"

namespace nexoral::testing {
namespace {

class ProxyEndToEndTest : public ::testing::Test {
 protected:
  void StartServer(const std::string& extraConfig = {}) {
    ServerSetup setup;
    setup.upstreamPort = upstream_.Port();
    setup.extraConfig = extraConfig;
    server_ = std::make_unique<ServerProcess>(setup);
    ASSERT_TRUE(server_->Running()) << server_->ErrorOutput();
  }

  HttpResponse Get(const std::string& path) { return client_.Get(server_->Url(path)); }

  TestUpstream upstream_;
  std::unique_ptr<ServerProcess> server_;
  HttpClient client_;
};

TEST_F(ProxyEndToEndTest, ContentLengthBodiesComeThroughWholeOverOneUpstreamConnection) {
  StartServer();
  for (const size_t size : {size_t{0}, size_t{1}, size_t{100000}}) {
    const HttpResponse response = Get("/api/open/cl/" + std::to_string(size));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, UpstreamPattern(size)) << size;
    EXPECT_EQ(response.Header("Content-Length"), std::to_string(size));
  }
  EXPECT_EQ(upstream_.ConnectionsAccepted(), 1);
}

TEST_F(ProxyEndToEndTest, ChunkedBodiesOfSeveralChunkSizesAreRelayedChunked) {
  StartServer();
  const HttpResponse response = Get("/api/open/chunked/1,10,100,4000,70000");
  EXPECT_EQ(response.curlCode, 0);
  EXPECT_EQ(response.body, UpstreamPattern(74111));
  EXPECT_EQ(response.Header("Transfer-Encoding"), "chunked");
  ASSERT_EQ(server_->Stop(), 0);
  // The filter saw the head, then chunk-framed blocks, the last one the closing chunk.
  const std::vector<std::string> raw = LinesWith(server_->FilterRecord(), " RAW ");
  ASSERT_GE(raw.size(), 3u);
  EXPECT_NE(raw.front().find("first=HTTP/1.1 200 OK"), std::string::npos);
  EXPECT_EQ(raw.back(), "conn=1 RAW bytes=5 first=0");
  for (size_t i = 1; i + 1 < raw.size(); ++i) {
    const std::string size = raw[i].substr(raw[i].find("first=") + 6);
    EXPECT_LE(size.size(), 4u) << raw[i];  // chunk sizes fit in four hexadecimal digits
  }
}

TEST_F(ProxyEndToEndTest, SlowlyDrippingBodyArrivesWhole) {
  StartServer("[proxy]\nread_timeout = 2s\n");
  const HttpResponse response = Get("/api/open/drip/5/80");
  EXPECT_EQ(response.curlCode, 0);
  EXPECT_EQ(response.body, UpstreamPattern(50));
}

TEST_F(ProxyEndToEndTest, UpstreamBreakingOffCutsTheResponseAndTheServerGoesOn) {
  StartServer();
  const HttpResponse broken = Get("/api/open/broken");
  EXPECT_NE(broken.curlCode, 0);  // the client sees a short body, never a complete one
  EXPECT_LT(broken.body.size(), 1000u);
  EXPECT_EQ(Get("/api/open/cl/10").body, UpstreamPattern(10));
}

TEST_F(ProxyEndToEndTest, UpstreamDownGives502) {
  ServerSetup setup;
  setup.upstreamPort = 1;  // nothing listens there
  server_ = std::make_unique<ServerProcess>(setup);
  ASSERT_TRUE(server_->Running());
  EXPECT_EQ(Get("/api/open/cl/10").status, 502);
}

TEST_F(ProxyEndToEndTest, UpstreamTooSlowGives504) {
  StartServer("[proxy]\nresponse_timeout = 300ms\n");
  EXPECT_EQ(Get("/api/open/slow/3000").status, 504);
  EXPECT_EQ(Get("/api/open/cl/3").status, 200);
}

TEST_F(ProxyEndToEndTest, RequestGoesUpstreamWithItsBodyAndTheFilterChanges) {
  StartServer();
  HttpRequest request;
  request.url = server_->Url("/api/open/echo?q=1");
  request.method = "POST";
  request.body = "mail body";
  request.headers = {"Connection: keep-alive", "X-Custom: kept"};
  const HttpResponse response = client_.Send(request);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body.rfind("POST /api/open/echo?q=1\n", 0), 0u) << response.body;
  EXPECT_NE(response.body.find("X-Custom: kept\n"), std::string::npos);
  EXPECT_NE(response.body.find("X-Filter-Saw: preproc\n"), std::string::npos);
  EXPECT_NE(response.body.find("X-Forwarded-For: 127.0.0.1\n"), std::string::npos);
  EXPECT_EQ(response.body.find("Connection:"), std::string::npos);  // hop-by-hop, not passed
  EXPECT_NE(response.body.find("\n\nmail body"), std::string::npos);
}

TEST_F(ProxyEndToEndTest, StopLetsTheRequestInFlightFinishThenTerminatesTheFilter) {
  StartServer();
  HttpResponse slow;
  std::thread client([&] {
    HttpClient own;
    slow = own.Get(server_->Url("/api/open/slow/800"));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  server_->SignalStop();
  client.join();
  EXPECT_EQ(slow.status, 200);
  EXPECT_EQ(slow.body, "slow");
  EXPECT_EQ(server_->Wait(10000), 0);
  const std::vector<std::string> record = server_->FilterRecord();
  ASSERT_FALSE(record.empty());
  EXPECT_EQ(record.back(), "TERMINATE");
  EXPECT_EQ(LinesWith(record, "END_OF_REQUEST").size(), 1u);
}

}  // namespace
}  // namespace nexoral::testing
