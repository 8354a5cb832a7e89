// What a filter reads and changes through the server callbacks: headers and their pseudo names,
// header text it hands over, server variables, and the buffer protocol.
#include <gtest/gtest.h>

#include "filter_connection.h"
#include "header_access.h"
#include "platform/error_codes.h"
#include "server_variables.h"

namespace nexoral::server {
namespace {

http::request_header<> SampleRequest() {
  http::request_header<> request;
  request.method(http::verb::get);
  request.target("/owa/?ae=Folder&t=IPF.Note");
  request.version(11);
  request.set(http::field::host, "mail.contoso.com:8443");
  request.insert("Accept-Language", "en");
  request.insert("Accept-Language", "de");
  request.set("X-Forwarded-For", "10.0.0.1");
  return request;
}

TEST(HeaderAccessTest, ReadsHeadersAndTheRequestLineByTheirFilterNames) {
  const http::request_header<> request = SampleRequest();
  EXPECT_EQ(GetFilterHeader(request, "Accept-Language:"), "en, de");
  EXPECT_EQ(GetFilterHeader(request, "host:"), "mail.contoso.com:8443");
  EXPECT_EQ(GetFilterHeader(request, "url"), "/owa/?ae=Folder&t=IPF.Note");
  EXPECT_EQ(GetFilterHeader(request, "METHOD"), "GET");
  EXPECT_EQ(GetFilterHeader(request, "version"), "HTTP/1.1");
  EXPECT_FALSE(GetFilterHeader(request, "Cookie:"));
}

TEST(HeaderAccessTest, ChangesHeadersAndRefusesWhatWouldBreakTheBlock) {
  http::request_header<> request = SampleRequest();
  EXPECT_TRUE(SetFilterHeader(request, "Accept-Language:", "fr", false));
  EXPECT_EQ(GetFilterHeader(request, "Accept-Language:"), "fr");
  EXPECT_TRUE(SetFilterHeader(request, "X-Tag:", "one", true));
  EXPECT_TRUE(SetFilterHeader(request, "X-Tag:", "two", true));
  EXPECT_EQ(GetFilterHeader(request, "X-Tag:"), "one, two");
  EXPECT_TRUE(SetFilterHeader(request, "X-Tag:", "", false));
  EXPECT_FALSE(GetFilterHeader(request, "X-Tag:"));
  EXPECT_TRUE(SetFilterHeader(request, "URL", "/owa/scripts/app.js", false));
  EXPECT_EQ(request.target(), "/owa/scripts/app.js");
  EXPECT_TRUE(SetFilterHeader(request, "version", "HTTP/1.0", false));
  EXPECT_EQ(request.version(), 10u);

  const struct {
    const char* name;
    const char* value;
  } refused[] = {
      {"X-Evil:", "a\r\nSet-Cookie: x=1"}, {"X-Evil:", "a\nb"}, {"X-Evil:", "a\rb"},
      {"Bad Name:", "x"},                  {":", "x"},          {"url", "http://elsewhere/"},
      {"url", "/a b"},                     {"url", "/a\r\n"},   {"method", "GET /x"},
      {"version", "HTTP/2"},
  };
  for (const auto& test : refused) {
    SetLastError(0);
    EXPECT_FALSE(SetFilterHeader(request, test.name, test.value, false)) << test.name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << test.name;
  }
  EXPECT_EQ(request.target(), "/owa/scripts/app.js");
  EXPECT_FALSE(SetFilterHeader(request, "url", "/x", true));  // a request has one URL
}

TEST(HeaderAccessTest, HeaderTextFromTheFilterIsReadLineByLine) {
  const auto plain = ParseFilterHeaderLines("Location: http://mail/owa/");  // no terminator
  ASSERT_TRUE(plain);
  EXPECT_EQ((*plain)[http::field::location], "http://mail/owa/");
  const auto two = ParseFilterHeaderLines("A: 1\r\nB: 2\r\n");
  ASSERT_TRUE(two);
  EXPECT_EQ(std::distance(two->begin(), two->end()), 2);
  EXPECT_TRUE(ParseFilterHeaderLines(""));
  for (const char* bad : {"A: 1\r\n\r\nB: 2\r\n", "A: 1\nB: 2", "no colon\r\n", "A: x\ry\r\n",
                          "A: 1\r\nHTTP/1.1 200 OK\r\n"}) {
    EXPECT_FALSE(ParseFilterHeaderLines(bad)) << bad;
  }
}

TEST(ServerVariablesTest, AnswerTheUsualNames) {
  const http::request_header<> request = SampleRequest();
  ConnectionFacts connection{"192.0.2.7", 50123, "192.0.2.1", 8443, true, "fallback"};
  RequestFacts facts;
  facts.header = &request;
  facts.receivedTarget = "/original/?x";
  auto get = [&](const char* name) { return FindServerVariable(connection, &facts, name); };
  EXPECT_EQ(get("URL"), "/owa/");
  EXPECT_EQ(get("QUERY_STRING"), "ae=Folder&t=IPF.Note");
  EXPECT_EQ(get("HTTP_URL"), "/original/?x");
  EXPECT_EQ(get("request_method"), "GET");
  EXPECT_EQ(get("REMOTE_ADDR"), "192.0.2.7");
  EXPECT_EQ(get("LOCAL_ADDR"), "192.0.2.1");
  EXPECT_EQ(get("SERVER_PORT"), "8443");
  EXPECT_EQ(get("SERVER_PORT_SECURE"), "1");
  EXPECT_EQ(get("HTTPS"), "on");
  EXPECT_EQ(get("SERVER_NAME"), "mail.contoso.com");
  EXPECT_EQ(get("HTTP_X_Forwarded_For"), "10.0.0.1");
  EXPECT_EQ(get("HTTP_ACCEPT-LANGUAGE"), "en, de");
  EXPECT_EQ(get("AUTH_TYPE"), "");
  EXPECT_EQ(get("LOGON_USER"), "");
  EXPECT_EQ(get("ALL_HTTP"),
            "HTTP_HOST:mail.contoso.com:8443\nHTTP_ACCEPT_LANGUAGE:en\nHTTP_ACCEPT_LANGUAGE:de\n"
            "HTTP_X_FORWARDED_FOR:10.0.0.1\n");
  EXPECT_EQ(get("ALL_RAW"),
            "Host: mail.contoso.com:8443\r\nAccept-Language: en\r\nAccept-Language: de\r\n"
            "X-Forwarded-For: 10.0.0.1\r\n");
  EXPECT_FALSE(get("HTTP_COOKIE"));
  EXPECT_FALSE(get("NO_SUCH_VARIABLE"));
  EXPECT_FALSE(FindServerVariable(connection, nullptr, "URL"));  // outside a request

  facts.auth.kind = AuthResult::Kind::kAuthenticated;
  facts.auth.identity.user = "alice";
  facts.auth.identity.domain = "CONTOSO";
  EXPECT_EQ(get("AUTH_TYPE"), "Basic");
  EXPECT_EQ(get("REMOTE_USER"), "CONTOSO\\alice");
}

TEST(ServerVariablesTest, ValuesFollowTheBufferProtocol) {
  char buffer[8];
  DWORD size = sizeof(buffer);
  EXPECT_TRUE(CopyValueToFilter("1234567", buffer, &size));
  EXPECT_EQ(size, 8u);
  EXPECT_STREQ(buffer, "1234567");
  size = sizeof(buffer);
  SetLastError(0);
  EXPECT_FALSE(CopyValueToFilter("12345678", buffer, &size));
  EXPECT_EQ(size, 9u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  size = 100;
  EXPECT_FALSE(CopyValueToFilter("x", nullptr, &size));
  EXPECT_EQ(size, 2u);
}

TEST(FilterVerdictTest, EveryStatusHasItsMeaning) {
  EXPECT_EQ(VerdictOf(SF_STATUS_REQ_FINISHED), FilterVerdict::kFinishedClose);
  EXPECT_EQ(VerdictOf(SF_STATUS_REQ_FINISHED_KEEP_CONN), FilterVerdict::kFinishedKeepConn);
  EXPECT_EQ(VerdictOf(SF_STATUS_REQ_ERROR), FilterVerdict::kError);
  EXPECT_EQ(VerdictOf(SF_STATUS_REQ_NEXT_NOTIFICATION), FilterVerdict::kContinue);
  EXPECT_EQ(VerdictOf(SF_STATUS_REQ_HANDLED_NOTIFICATION), FilterVerdict::kContinue);
  EXPECT_EQ(VerdictOf(SF_STATUS_REQ_READ_NEXT), FilterVerdict::kContinue);
  EXPECT_EQ(VerdictOf(0x80070057u), FilterVerdict::kContinue);  // not a status at all
}

}  // namespace
}  // namespace nexoral::server
