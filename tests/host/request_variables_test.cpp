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

class GetIISParmTTest : public ::testing::Test {
 protected:
  LogCapture log_;
  FakeConnection connection_;
  std::string value_ = "before";
};

TEST_F(GetIISParmTTest, ValueIsFetchedWithTheSizeTheServerAskedFor) {
  connection_.serverVariables["HTTP_URL"] = "/owa/?ae=Folder";
  EXPECT_TRUE(Base::GetIISParmT(connection_.pfc(), connection_.pfc()->GetServerVariable, "HTTP_URL", value_));
  EXPECT_EQ(value_, "/owa/?ae=Folder");
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(GetIISParmTTest, EmptyValueIsFetchedAsEmpty) {
  connection_.serverVariables["QUERY_STRING"] = "";
  EXPECT_TRUE(Base::GetIISParmT(connection_.pfc(), connection_.pfc()->GetServerVariable, "QUERY_STRING", value_));
  EXPECT_EQ(value_, "");
}

TEST_F(GetIISParmTTest, SuccessOnTheSizeQueryKeepsTheValue) {
  EXPECT_TRUE(Base::GetIISParmT(connection_.pfc(), SucceedsAtOnce, "X", value_));
  EXPECT_EQ(value_, "before");
}

TEST_F(GetIISParmTTest, FailureWithoutASizeIsSilent) {
  EXPECT_FALSE(Base::GetIISParmT(connection_.pfc(), UnknownWithoutSize, "X", value_));
  EXPECT_FALSE(Base::GetIISParmT(connection_.pfc(), connection_.pfc()->GetServerVariable, "NOPE", value_));
  EXPECT_EQ(value_, "before");
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(GetIISParmTTest, KnownFailuresWithASizeAreLogged) {
  EXPECT_FALSE(Base::GetIISParmT(connection_.pfc(), UnknownWithSize, "X-ZQRequest", value_));
  EXPECT_FALSE(Base::GetIISParmT(connection_.pfc(), InvalidParameterWithSize, "URL", value_));
  EXPECT_THAT(log_.Lines(), ::testing::ElementsAre(
                                "GetIISParmT  GetServerVariable failed X-ZQRequest Error 1413",
                                "GetIISParmT  GetServerVariable failed URL Error 87"));
}

TEST_F(GetIISParmTTest, OtherFailuresWithASizeAreSilent) {
  EXPECT_FALSE(Base::GetIISParmT(connection_.pfc(), OtherErrorWithSize, "URL", value_));
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(GetIISParmTTest, FailingSecondCallIsLoggedWithItsErrorAndGivesAnEmptyValue) {
  EXPECT_FALSE(Base::GetIISParmT(connection_.pfc(), SecondCallFails, "AUTH_USER", value_));
  EXPECT_EQ(value_, "");
  EXPECT_THAT(log_.Lines(), ::testing::ElementsAre(
                                "GetIISParmT AUTH_USER failed Error: 5   Access is denied."));
}

TEST_F(GetIISParmTTest, AnImpossibleSizeIsRefused) {
  EXPECT_FALSE(Base::GetIISParmT(connection_.pfc(), ClaimsHugeSize, "ALL_RAW", value_));
  EXPECT_EQ(value_, "before");
  EXPECT_TRUE(log_.Contains("GetIISParmT ALL_RAW failed Error: 8"));
}

TEST_F(GetIISParmTTest, MissingArgumentsFail) {
  EXPECT_FALSE(Base::GetIISParmT(nullptr, SucceedsAtOnce, "X", value_));
  EXPECT_FALSE(Base::GetIISParmT(connection_.pfc(), nullptr, "X", value_));
}

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
