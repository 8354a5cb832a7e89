// Fetching server variables and headers: the buffer protocol, the header fallback, the capture
// into a request's variables and the request-information log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness/diagnostics_capture.h"
#include "harness/fake_connection.h"
#include "host/base_notification.h"
#include "platform/error_codes.h"

namespace nexoral::testing {
namespace {

using Base = CBaseNotification;

// Fetch functions with one scripted misbehaviour each.
BOOL SucceedsAtOnce(HTTP_FILTER_CONTEXT*, const char*, void*, DWORD*) { return TRUE; }
BOOL UnknownWithoutSize(HTTP_FILTER_CONTEXT*, const char*, void*, DWORD*) {
  SetLastError(kErrorInvalidIndex);
  return FALSE;
}
BOOL UnknownWithSize(HTTP_FILTER_CONTEXT*, const char*, void*, DWORD* size) {
  *size = 10;
  SetLastError(kErrorInvalidIndex);
  return FALSE;
}
BOOL InvalidParameterWithSize(HTTP_FILTER_CONTEXT*, const char*, void*, DWORD* size) {
  *size = 10;
  SetLastError(kErrorInvalidParameter);
  return FALSE;
}
BOOL OtherErrorWithSize(HTTP_FILTER_CONTEXT*, const char*, void*, DWORD* size) {
  *size = 10;
  SetLastError(kErrorAccessDenied);
  return FALSE;
}
BOOL SecondCallFails(HTTP_FILTER_CONTEXT*, const char*, void* buffer, DWORD* size) {
  *size = 6;
  SetLastError(buffer == nullptr ? kErrorInsufficientBuffer : kErrorAccessDenied);
  return FALSE;
}
BOOL ClaimsHugeSize(HTTP_FILTER_CONTEXT*, const char*, void*, DWORD* size) {
  *size = 0xFFFFFFFFu;
  SetLastError(kErrorInsufficientBuffer);
  return FALSE;
}

// Values the server has are fetched whole, empty or not.
TEST(GetIISParmTTest, ValuesAreFetchedWithTheSizeTheServerAskedFor) {
  LogCapture log;
  FakeConnection connection;
  connection.serverVariables["HTTP_URL"] = "/owa/?ae=Folder";
  connection.serverVariables["QUERY_STRING"] = "";
  std::string url, query = "before";
  EXPECT_TRUE(Base::GetIISParmT(connection.pfc(), connection.pfc()->GetServerVariable, "HTTP_URL", url));
  EXPECT_TRUE(Base::GetIISParmT(connection.pfc(), connection.pfc()->GetServerVariable, "QUERY_STRING", query));
  EXPECT_FALSE(Base::GetIISParmT(connection.pfc(), connection.pfc()->GetServerVariable, "NOPE", url));
  EXPECT_EQ(url, "/owa/?ae=Folder");
  EXPECT_EQ(query, "");
  EXPECT_TRUE(log.Lines().empty());
}

struct FetchCase {
  const char* name;
  PFN_GETVALUE fetch;
  bool result;
  std::string value;  // the value afterwards; it starts as "before"
  std::vector<std::string> log;
};

void PrintTo(const FetchCase& fetchCase, std::ostream* out) { *out << fetchCase.name; }

class GetIISParmTProtocolTest : public ::testing::TestWithParam<FetchCase> {};

TEST_P(GetIISParmTProtocolTest, ResultValueAndLogFollowTheServersAnswers) {
  LogCapture log;
  FakeConnection connection;
  std::string value = "before";
  EXPECT_EQ(Base::GetIISParmT(connection.pfc(), GetParam().fetch, "X", value), GetParam().result);
  EXPECT_EQ(value, GetParam().value);
  EXPECT_EQ(log.Lines(), GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(
    ServerAnswers, GetIISParmTProtocolTest,
    ::testing::Values(
        FetchCase{"SuccessOnTheSizeQuery", SucceedsAtOnce, true, "before", {}},
        FetchCase{"FailureWithoutSize", UnknownWithoutSize, false, "before", {}},
        FetchCase{"UnknownWithSize", UnknownWithSize, false, "before",
                  {"GetIISParmT  GetServerVariable failed X Error 1413"}},
        FetchCase{"InvalidParameterWithSize", InvalidParameterWithSize, false, "before",
                  {"GetIISParmT  GetServerVariable failed X Error 87"}},
        FetchCase{"OtherErrorWithSize", OtherErrorWithSize, false, "before", {}},
        FetchCase{"SecondCallFails", SecondCallFails, false, "",
                  {"GetIISParmT X failed Error: 5   Access is denied."}},
        FetchCase{"ImpossibleSize", ClaimsHugeSize, false, "before",
                  {"GetIISParmT X failed Error: 8   Not enough memory resources are available to "
                   "process this command."}}),
    [](const ::testing::TestParamInfo<FetchCase>& test) { return std::string(test.param.name); });

class CaptureTest : public ::testing::Test {
 protected:
  // Runs body while the connection delivers a notification of the given type.
  void During(DWORD notificationType, const std::function<void(HTTP_FILTER_CONTEXT*, void*)>& body) {
    connection_.Deliver(
        [&](HTTP_FILTER_CONTEXT* pfc, DWORD, void* data) {
          body(pfc, data);
          return DWORD{SF_STATUS_REQ_NEXT_NOTIFICATION};
        },
        notificationType);
  }
  FakeConnection connection_;
};

TEST_F(CaptureTest, HeaderIsTheFallbackWhenTheVariableIsMissingOrEmpty) {
  connection_.requestHeaders.Add("X-ZQRequest", "1");
  connection_.serverVariables["X-OWA-ProxySid"] = "";
  connection_.requestHeaders.Add("X-OWA-ProxySid", "S-1-5-18");
  During(SF_NOTIFY_PREPROC_HEADERS, [](HTTP_FILTER_CONTEXT* pfc, void* data) {
    std::string value;
    EXPECT_TRUE(Base::GetIISParam(pfc, SF_NOTIFY_PREPROC_HEADERS, "X-ZQRequest", value, data));
    EXPECT_EQ(value, "1");
    EXPECT_TRUE(Base::GetIISParam(pfc, SF_NOTIFY_PREPROC_HEADERS, "X-OWA-ProxySid", value, data));
    EXPECT_EQ(value, "S-1-5-18");
  });
}

TEST_F(CaptureTest, RawDataHasNoHeaderFallback) {
  connection_.requestHeaders.Add("X-ZQRequest", "1");
  During(SF_NOTIFY_SEND_RAW_DATA, [](HTTP_FILTER_CONTEXT* pfc, void* data) {
    std::string value;
    EXPECT_FALSE(Base::GetIISParam(pfc, SF_NOTIFY_SEND_RAW_DATA, "X-ZQRequest", value, data));
  });
}

TEST_F(CaptureTest, TypesWithoutVariablesFetchNothingButSucceed) {
  std::string value = "kept";
  EXPECT_TRUE(Base::GetIISParam(connection_.pfc(), SF_NOTIFY_READ_RAW_DATA, "URL", value, nullptr));
  EXPECT_EQ(value, "kept");
}

TEST_F(CaptureTest, FirstValueStaysAndUnfetchableNamesAreLeftOut) {
  connection_.serverVariables["URL"] = "/owa/";
  connection_.requestHeaders.Add("User-Agent", "Mozilla/5.0");
  std::map<std::string, std::string> captured{{"QUERY_STRING", "first"}};
  connection_.serverVariables["QUERY_STRING"] = "second";
  During(SF_NOTIFY_PREPROC_HEADERS, [&](HTTP_FILTER_CONTEXT* pfc, void* data) {
    Base::CaptureRequestVariables(pfc, {"URL", "HTTP_USER_AGENT", "QUERY_STRING", "MISSING", "URL"},
                                  captured, SF_NOTIFY_PREPROC_HEADERS, data);
  });
  EXPECT_EQ(captured, (std::map<std::string, std::string>{
                          {"URL", "/owa/"}, {"HTTP_USER_AGENT", "Mozilla/5.0"}, {"QUERY_STRING", "first"}}));
}

TEST_F(CaptureTest, WithoutVariablesEveryNameGoesInEmpty) {
  std::map<std::string, std::string> captured;
  Base::CaptureRequestVariables(connection_.pfc(), {"URL", "AUTH_USER"}, captured,
                                SF_NOTIFY_END_OF_NET_SESSION, nullptr);
  Base::CaptureRequestVariables(nullptr, {"REMOTE_ADDR"}, captured, SF_NOTIFY_PREPROC_HEADERS, nullptr);
  EXPECT_EQ(captured, (std::map<std::string, std::string>{
                          {"URL", ""}, {"AUTH_USER", ""}, {"REMOTE_ADDR", ""}}));
}

TEST(LogWithRequestInfoTest, AppendsTheRequestAndReportsWhenAsked) {
  LogCapture log;
  EventCapture events;
  CFilterContext context;
  context.RequestInfo = MakeRefHandle<CRequestInfo>();
  context.RequestInfo->Variables = {{"URL", "/owa/"},
                                    {"QUERY_STRING", "ae=Item"},
                                    {"AUTH_USER:", "alice"},
                                    {"HTTP_USER_AGENT", "Mozilla"}};
  Base::LogWithRequestInfo(true, true, &context, "Blocked %d", 3);
  Base::LogWithRequestInfo(false, false, &context, "Plain");
  EXPECT_THAT(log.Lines(), ::testing::ElementsAre(
                               "Blocked 3 URL: /owa/ QueryString: ae=Item User: alice UserAgent: Mozilla",
                               "Plain"));
  ASSERT_EQ(events.Events().size(), 1u);
  EXPECT_EQ(events.Events()[0].record.texts.at(0),
            "Blocked 3 URL: /owa/ QueryString: ae=Item User: alice UserAgent: Mozilla");
}

}  // namespace
}  // namespace nexoral::testing
