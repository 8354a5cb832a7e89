// The server and a real filter module end to end: which notifications the filter gets, in
// which order, with which data, and what its answers do to what a client receives.
#include <gtest/gtest.h>

#include <memory>

#include "e2e_support.h"
#include "http_client.h"
#include "server_process.h"

namespace nexoral::testing {
namespace {

const std::string kAlice = std::string("alice:") + kAlicePassword;

class FilterEndToEndTest : public ::testing::Test {
 protected:
  void StartServer(ServerSetup setup = {}) {
    server_ = std::make_unique<ServerProcess>(setup);
    ASSERT_TRUE(server_->Running()) << server_->ErrorOutput();
  }

  HttpResponse Fetch(const std::string& path, const std::string& action = {},
                     const std::string& user = kAlice) {
    HttpRequest request;
    request.url = server_->Url(path);
    request.user = user;
    if (!action.empty()) request.headers.push_back("X-Test-Action: " + action);
    return client_.Send(request);
  }

  // Stops the server (so every connection has ended) and returns the filter's record.
  std::vector<std::string> StoppedRecord() {
    EXPECT_EQ(server_->Stop(), 0) << server_->ErrorOutput();
    return server_->FilterRecord();
  }

  std::unique_ptr<ServerProcess> server_;
  HttpClient client_;
};

TEST_F(FilterEndToEndTest, AuthenticatedRequestGoesThroughEveryNotificationInOrder) {
  StartServer();
  HttpRequest request;
  request.url = server_->Url("/owa/index.html?folder=inbox");
  request.user = kAlice;
  request.headers = {"X-Test-Tag: first"};
  const HttpResponse response = client_.Send(request);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "<html><body>inbox</body></html>\n");

  const std::vector<std::string> record = StoppedRecord();
  EXPECT_EQ(Kinds(record), (std::vector<std::string>{"PREPROC", "VARS", "AUTH", "SEND_RESPONSE",
                                                     "RAW", "RAW", "END_OF_REQUEST",
                                                     "END_OF_NET_SESSION", "TERMINATE"}));
  EXPECT_EQ(LinesWith(record, "PREPROC").at(0),
            "conn=1 PREPROC method=GET url=/owa/index.html?folder=inbox version=HTTP/1.1 secure=0");
  EXPECT_EQ(LinesWith(record, "VARS").at(0),
            "conn=1 VARS URL=/owa/index.html QUERY_STRING=folder=inbox "
            "HTTP_URL=/owa/index.html?folder=inbox REMOTE_ADDR=127.0.0.1 SERVER_PORT=" +
                std::to_string(server_->HttpPort()) + " HTTPS=off HTTP_X_TEST_TAG=first");
  EXPECT_EQ(LinesWith(record, "AUTH").at(0),
            "conn=1 AUTH token=1 user=alice domain=CONTOSO sid=S-1-5-21-100-200-300-1001 "
            "groups=S-1-5-21-100-200-300-513,S-1-5-32-545 logon=CONTOSO\\alice type=Basic");
  EXPECT_EQ(LinesWith(record, "SEND_RESPONSE").at(0),
            "conn=1 SEND_RESPONSE status=200 type=text/html; charset=utf-8");
  const std::vector<std::string> raw = LinesWith(record, " RAW ");
  EXPECT_NE(raw.at(0).find("first=HTTP/1.1 200 OK"), std::string::npos);
  EXPECT_EQ(raw.at(1), "conn=1 RAW bytes=32 first=<html><body>inbox</body></html>\\n");
}

TEST_F(FilterEndToEndTest, OnlyTheNotificationsTheFilterAskedForAreDelivered) {
  ServerSetup setup;
  setup.filterFlags = "4080";  // PREPROC_HEADERS and END_OF_REQUEST
  StartServer(setup);
  EXPECT_EQ(Fetch("/owa/").status, 200);
  EXPECT_EQ(Kinds(StoppedRecord()),
            (std::vector<std::string>{"PREPROC", "VARS", "END_OF_REQUEST", "TERMINATE"}));
}

TEST_F(FilterEndToEndTest, UrlChangedInPreprocessingIsTheOneServedAndAuthorised) {
  StartServer();
  // /public/ is anonymous, /owa/ is not: the changed URL decides.
  const HttpResponse denied = Fetch("/public/logo.txt", "rewrite:/owa/index.html", "");
  EXPECT_EQ(denied.status, 401);
  const HttpResponse served = Fetch("/public/none.txt", "rewrite:/owa/index.html");
  EXPECT_EQ(served.status, 200);
  EXPECT_EQ(served.body, "<html><body>inbox</body></html>\n");
  ASSERT_EQ(server_->Stop(), 0);  // the log line follows the response; now it is written
  const std::string accessLog = server_->AccessLog();
  EXPECT_NE(accessLog.find("\"GET /public/none.txt HTTP/1.1\" 200"), std::string::npos) << accessLog;
}

TEST_F(FilterEndToEndTest, HeldBackRawBlocksAreReplacedByTheFilterBuffer) {
  StartServer();
  const HttpResponse response = Fetch("/owa/index.html", "accumulate");
  EXPECT_EQ(response.curlCode, 0);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "[rewritten]<html><body>inbox</body></html>\n");
  EXPECT_EQ(response.Header("Content-Length"), std::to_string(response.body.size()));
  EXPECT_EQ(response.Header("Content-Type"), "text/plain");
  // The connection still carries a following request.
  EXPECT_EQ(Fetch("/owa/index.html").status, 200);
  EXPECT_EQ(client_.Get(server_->Url("/owa/"), kAlice).newConnections, 0);
}

TEST_F(FilterEndToEndTest, WriteClientAnswersTheRequestAndTheConnectionGoesOn) {
  StartServer();
  const HttpResponse answered = Fetch("/owa/", "writeclient");
  EXPECT_EQ(answered.status, 200);
  EXPECT_EQ(answered.body, "from filter");
  const HttpResponse next = Fetch("/owa/");
  EXPECT_EQ(next.status, 200);
  EXPECT_EQ(next.newConnections, 0);
  const std::vector<std::string> record = StoppedRecord();
  EXPECT_EQ(LinesWith(record, "WRITECLIENT").at(0), "conn=1 WRITECLIENT written=1");
  // The answered request still ends with END_OF_REQUEST, and nothing was served for it.
  const std::vector<std::string> kinds = Kinds(record, "conn=1");
  ASSERT_GE(kinds.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(kinds.begin(), kinds.begin() + 4),
            (std::vector<std::string>{"PREPROC", "VARS", "WRITECLIENT", "END_OF_REQUEST"}));
}

TEST_F(FilterEndToEndTest, RedirectSentThroughServerSupportFunction) {
  StartServer();
  const HttpResponse redirected = Fetch("/", "redirect", "");
  EXPECT_EQ(redirected.status, 302);
  EXPECT_EQ(redirected.Header("Location"), "http://mail.example/owa/");
  EXPECT_NE(redirected.headers.find("HTTP/1.1 302 Object Moved"), std::string::npos);
  EXPECT_EQ(redirected.body, "");
  // Framed with a length, so the connection carries the next request.
  const HttpResponse next = Fetch("/owa/");
  EXPECT_EQ(next.status, 200);
  EXPECT_EQ(next.newConnections, 0);
  EXPECT_EQ(LinesWith(StoppedRecord(), "REDIRECT").at(0), "conn=1 REDIRECT sent=1");
}

TEST_F(FilterEndToEndTest, TwoRequestsOnOneConnectionShareTheFilterContext) {
  StartServer();
  {
    HttpClient own;  // its connection closes with it
    EXPECT_EQ(own.Get(server_->Url("/owa/"), kAlice).newConnections, 1);
    EXPECT_EQ(own.Get(server_->Url("/owa/index.html"), kAlice).newConnections, 0);
  }
  const std::vector<std::string> record = StoppedRecord();
  EXPECT_EQ(LinesWith(record, "END_OF_REQUEST"),
            (std::vector<std::string>{"conn=1 END_OF_REQUEST requests=1",
                                      "conn=1 END_OF_REQUEST requests=2"}));
  EXPECT_EQ(LinesWith(record, "END_OF_NET_SESSION"),
            (std::vector<std::string>{"conn=1 END_OF_NET_SESSION"}));
}

TEST_F(FilterEndToEndTest, MissingOrWrongCredentialsGet401WithTheChallenge) {
  StartServer();
  const HttpResponse none = Fetch("/owa/", "", "");
  EXPECT_EQ(none.status, 401);
  EXPECT_EQ(none.Header("WWW-Authenticate"), "Basic realm=\"Nexoral\"");
  EXPECT_EQ(Fetch("/owa/", "", "alice:rabbit").status, 401);
  EXPECT_EQ(Fetch("/owa/", "", "CONTOSO\\bob:builder").status, 200);
  EXPECT_EQ(Fetch("/owa/", "", "FABRIKAM\\bob:builder").status, 401);
  const HttpResponse anonymous = Fetch("/public/logo.txt", "", "");
  EXPECT_EQ(anonymous.status, 200);
  EXPECT_EQ(anonymous.body, "public logo\n");

  const std::vector<std::string> record = StoppedRecord();
  // Refused requests reach no AUTH_COMPLETE; the 401 itself goes through SEND_RESPONSE.
  EXPECT_EQ(LinesWith(record, " AUTH ").size(), 2u);
  EXPECT_EQ(LinesWith(record, "SEND_RESPONSE status=401").size(), 3u);
  // Anonymous requests run as the server's own account, with no logon user.
  EXPECT_NE(LinesWith(record, " AUTH ").back().find("logon= type="), std::string::npos);
}

TEST_F(FilterEndToEndTest, HeaderValuesWithCrOrLfFromTheFilterAreRefused) {
  StartServer();
  const HttpResponse response = Fetch("/owa/", "crlf");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.headers.find("stolen"), std::string::npos);
  EXPECT_EQ(response.headers.find("X-Split"), std::string::npos);
  EXPECT_EQ(LinesWith(StoppedRecord(), "CRLF").at(0),
            "conn=1 CRLF set=0 error=87 added=0 error=87");
}

TEST_F(FilterEndToEndTest, AddedAndChangedResponseHeadersReachTheClient) {
  StartServer();
  const HttpResponse response = Fetch("/owa/", "addheader");
  EXPECT_EQ(response.Header("X-Filter-Added"), "yes");
  EXPECT_EQ(response.Header("X-Seen-Status"), "200");
}

TEST_F(FilterEndToEndTest, FilterErrorFailsTheRequestWith500) {
  StartServer();
  EXPECT_EQ(Fetch("/owa/", "error").status, 500);
}

TEST_F(FilterEndToEndTest, TlsRequestsAreServedAndMarkedSecure) {
  ServerSetup setup;
  setup.tls = true;
  StartServer(setup);
  ASSERT_NE(server_->HttpsPort(), 0);
  HttpRequest request;
  request.url = server_->SecureUrl("/owa/?x=1");
  request.user = kAlice;
  request.caFile = server_->CertificatePath();
  const HttpResponse first = client_.Send(request);
  EXPECT_EQ(first.curlCode, 0);
  EXPECT_EQ(first.status, 200);
  EXPECT_EQ(first.body, "<html><body>inbox</body></html>\n");
  EXPECT_EQ(client_.Send(request).newConnections, 0);
  const std::vector<std::string> record = StoppedRecord();
  EXPECT_NE(LinesWith(record, "PREPROC").at(0).find("secure=1"), std::string::npos);
  EXPECT_NE(LinesWith(record, "VARS").at(0).find("HTTPS=on"), std::string::npos);
}

TEST_F(FilterEndToEndTest, TheModuleWithoutSettingsLetsEveryRequestThrough) {
  ServerSetup setup;
  setup.modulePath = NEXORAL_MODULE_PATH;
  StartServer(setup);
  const HttpResponse response = Fetch("/owa/");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "<html><body>inbox</body></html>\n");
  EXPECT_EQ(server_->Stop(), 0);
}

}  // namespace
}  // namespace nexoral::testing
