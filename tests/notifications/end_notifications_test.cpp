// The end of a request and of a connection after real pre-processing, on both server
// generations: the context goes, or on generation 6 with a response under way a reduced one
// stays until the connection's next request or its end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness/scoped_environment.h"
#include "notifications/preproc_fixture.h"
#include "platform/os_version.h"

namespace nexoral::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class EndNotificationsTest : public PreProcFixture {
 protected:
  void TearDown() override {
    GetCoreGeneralSettings()->ReadOsVersion();
    PreProcFixture::TearDown();
  }
  void UseGeneration(const char* major) {
    ScopedEnvironment version(platform::kOsMajorVersionVariable, major);
    ASSERT_TRUE(GetCoreGeneralSettings()->ReadOsVersion());
  }
  // A taken request whose response headers went out: it has its outbound context and landmarks.
  CFilterContext& RequestWithResponse() {
    connection_.PreprocHeaders(filter_);
    CFilterContext& context = *Context();
    context.Outbound = MakeRefHandle<COutboundContext>();
    context.CommonPointers = MakeRefHandle<CCommonPointers>();
    context.Outbound->CommonPointers = context.CommonPointers;
    return context;
  }
};

TEST_F(EndNotificationsTest, GenerationSixKeepsAReducedContextUntilTheNextRequest) {
  UseGeneration("6");
  CFilterContext& context = RequestWithResponse();
  const CRefHandle<CCommonPointers> landmarks = context.CommonPointers;
  const CRefHandle<CRequestInfo> requestInfo = context.RequestInfo;

  connection_.EndOfRequest(filter_);
  EXPECT_THAT(CalledFor(SF_NOTIFY_END_OF_REQUEST), ElementsAre(1, 2));
  ASSERT_EQ(Context(), &context);
  EXPECT_TRUE(context.Stop);
  EXPECT_TRUE(context.DLLContexts.empty());
  EXPECT_FALSE(context.RequestInfo);
  EXPECT_FALSE(context.ExchangeUrls);
  EXPECT_FALSE(context.CommonPointers);
  ASSERT_TRUE(context.Outbound);
  EXPECT_FALSE(context.Outbound->CommonPointers);
  EXPECT_EQ(landmarks.UseCount(), 1);
  EXPECT_EQ(requestInfo.UseCount(), 1);

  // Response data after the end reaches no worker.
  connection_.SendRawData(filter_, "late bytes");
  EXPECT_THAT(CalledFor(SF_NOTIFY_SEND_RAW_DATA), IsEmpty());

  connection_.PreprocHeaders(filter_);
  ASSERT_NE(Context(), nullptr);
  EXPECT_FALSE(Context()->Stop);
  EXPECT_EQ(NewContexts(), 1);
  EXPECT_TRUE(log_.Contains("valid Context pointer found <0x"));
}

TEST_F(EndNotificationsTest, EndOfSessionDestroysAKeptContext) {
  UseGeneration("6");
  RequestWithResponse();
  connection_.EndOfRequest(filter_);
  ASSERT_NE(Context(), nullptr);

  connection_.EndOfNetSession(filter_);
  EXPECT_EQ(Context(), nullptr);
  EXPECT_EQ(NewContexts(), 0);
  EXPECT_THAT(CalledFor(SF_NOTIFY_END_OF_NET_SESSION), IsEmpty());
  EXPECT_TRUE(log_.Contains("CEndOfSessionNotification::EndOfNotification User:  Context pointer <0x"));
}

TEST_F(EndNotificationsTest, ContextGoesAtTheEndOtherwise) {
  UseGeneration("6");
  connection_.PreprocHeaders(filter_);  // no response under way
  connection_.EndOfRequest(filter_);
  EXPECT_EQ(Context(), nullptr);

  UseGeneration("5");
  RequestWithResponse();
  connection_.EndOfRequest(filter_);
  EXPECT_EQ(Context(), nullptr);
  EXPECT_EQ(NewContexts(), 0);
}

TEST_F(EndNotificationsTest, RequestWithoutContextEndsQuietly) {
  SetUrl("/public/about.txt");
  connection_.PreprocHeaders(filter_);
  connection_.EndOfRequest(filter_);
  connection_.EndOfNetSession(filter_);
  EXPECT_THAT(ScriptedWorkers::Instance().Calls(), IsEmpty());
  EXPECT_TRUE(log_.Contains("[CEndOfRequestNotification::PreProcessNotification] Context NULL, do nothing."));
  EXPECT_TRUE(log_.Contains("[CLogNotification::PreProcessNotification] Context NULL, do nothing."));
}

}  // namespace
}  // namespace nexoral::testing
