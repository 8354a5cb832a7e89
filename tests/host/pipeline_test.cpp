// The notification pipeline: worker order, control statuses and the status the server gets.
// The request's first notification goes through the base pipeline here; its own steps build
// the context that these tests attach by hand.
#include <gtest/gtest.h>

#include "host/pipeline_fixture.h"

namespace nexoral::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class PipelineTest : public PipelineFixture {};

TEST_F(PipelineTest, ControlNoneCallsEveryWorkerInListOrderAndReturnsTheLastResult) {
  AddWorker(5, kAllSix);
  AddWorker(3, kAllSix);
  Start();
  Attach({3, 5});
  Script(3, SF_NOTIFY_PREPROC_HEADERS, {.feature = 4, .result = SF_STATUS_REQ_HANDLED_NOTIFICATION});

  EXPECT_EQ(BasePipeline(SF_NOTIFY_PREPROC_HEADERS), SF_STATUS_REQ_HANDLED_NOTIFICATION);
  EXPECT_THAT(CalledFor(SF_NOTIFY_PREPROC_HEADERS), ElementsAre(5, 3));
  EXPECT_TRUE(log_.Contains("SW DLL 3 returned status CONTROL_NONE, Feature 4, Notification 16384"));
  EXPECT_TRUE(log_.Contains("Calling Service Worker worker5 for 16384 notification."));
  const CRefHandle<CDLLContext> dllContext = Context()->GetDLLContext(3);
  EXPECT_EQ(dllContext->pfc, connection_.pfc());
  EXPECT_EQ(dllContext->NotificationType, SF_NOTIFY_PREPROC_HEADERS);
  EXPECT_FALSE(Context()->Stop);
}

TEST_F(PipelineTest, RedirectedStopsTheOtherWorkersButEveryWorkerSeesTheEnd) {
  StartWith({1, 2});
  Script(1, SF_NOTIFY_PREPROC_HEADERS, {.controlStatus = REDIRECTED_REQUEST, .feature = 9});

  EXPECT_EQ(BasePipeline(SF_NOTIFY_PREPROC_HEADERS), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_THAT(CalledFor(SF_NOTIFY_PREPROC_HEADERS), ElementsAre(1));
  EXPECT_TRUE(Context()->Stop);
  EXPECT_TRUE(log_.Contains("SW DLL 1 returned status REDIRECTED_REQUEST, Feature 9, Notification 16384"));

  connection_.SendResponse(filter_);
  EXPECT_THAT(CalledFor(SF_NOTIFY_SEND_RESPONSE), IsEmpty());
  connection_.EndOfRequest(filter_);
  EXPECT_THAT(CalledFor(SF_NOTIFY_END_OF_REQUEST), ElementsAre(1, 2));
  EXPECT_EQ(Context(), nullptr);
}

TEST_F(PipelineTest, IgnoreRequestEndsOnlyThatWorkersPart) {
  StartWith({1, 2});
  Script(1, SF_NOTIFY_PREPROC_HEADERS, {.controlStatus = IGNORE_REQUEST});

  EXPECT_EQ(BasePipeline(SF_NOTIFY_PREPROC_HEADERS), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_THAT(CalledFor(SF_NOTIFY_PREPROC_HEADERS), ElementsAre(1, 2));
  EXPECT_TRUE(log_.Contains("SW DLL 1 indicated to ignore request"));
  connection_.SendResponse(filter_);
  EXPECT_THAT(CalledFor(SF_NOTIFY_SEND_RESPONSE), ElementsAre(2));
  EXPECT_FALSE(Context()->Stop);
}

TEST_F(PipelineTest, WhenEveryWorkerIgnoresOnlyTheEndOfTheRequestReachesThem) {
  StartWith({1, 2});
  Script(1, SF_NOTIFY_PREPROC_HEADERS, {.controlStatus = IGNORE_REQUEST});
  Script(2, SF_NOTIFY_PREPROC_HEADERS,
         {.controlStatus = IGNORE_REQUEST, .result = SF_STATUS_REQ_HANDLED_NOTIFICATION});

  EXPECT_EQ(BasePipeline(SF_NOTIFY_PREPROC_HEADERS), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_TRUE(Context()->Stop);
  EXPECT_TRUE(log_.Contains("[CBaseNotification::CheckAnyDLLsLeft] Any DLLs left to notify? FALSE"));

  connection_.AuthComplete(filter_);
  connection_.SendResponse(filter_);
  connection_.SendRawData(filter_, "HTTP/1.1 200 OK\r\n\r\n");
  connection_.EndOfRequest(filter_);
  EXPECT_THAT(ScriptedWorkers::Instance().Calls(),
              ElementsAre(WorkerCall{1, SF_NOTIFY_PREPROC_HEADERS, CONTROL_NONE},
                          WorkerCall{2, SF_NOTIFY_PREPROC_HEADERS, CONTROL_NONE},
                          WorkerCall{1, SF_NOTIFY_END_OF_REQUEST, IGNORE_REQUEST},
                          WorkerCall{2, SF_NOTIFY_END_OF_REQUEST, IGNORE_REQUEST}));
}

TEST_F(PipelineTest, ReplaceBufferOutsideRawDataIsWrittenOnceAndFinishesTheRequest) {
  StartWith({1, 2});
  Script(1, SF_NOTIFY_SEND_RESPONSE,
         {.controlStatus = REPLACE_BUFFER, .replacement = "HTTP/1.1 503 Busy\r\n\r\n"});

  EXPECT_EQ(connection_.SendResponse(filter_), SF_STATUS_REQ_FINISHED_KEEP_CONN);
  EXPECT_THAT(connection_.clientWrites, ElementsAre("HTTP/1.1 503 Busy\r\n\r\n"));
  EXPECT_THAT(CalledFor(SF_NOTIFY_SEND_RESPONSE), ElementsAre(1));
  EXPECT_TRUE(Context()->Finished);
  EXPECT_TRUE(Context()->Stop);

  // The finished request stays finished for its later notifications, without a second write.
  connection_.SendRawData(filter_, "HTTP/1.1 200 OK\r\n\r\n");
  EXPECT_EQ(connection_.clientWrites.size(), 1u);
}

TEST_F(PipelineTest, ReplaceBufferDuringRawDataIsNotWrittenByThePipeline) {
  StartWith({1});
  Script(1, SF_NOTIFY_SEND_RAW_DATA, {.controlStatus = REPLACE_BUFFER, .replacement = "replaced"});

  EXPECT_EQ(connection_.SendRawData(filter_, "HTTP/1.1 200 OK\r\n\r\n"),
            SF_STATUS_REQ_FINISHED_KEEP_CONN);
  EXPECT_THAT(connection_.clientWrites, IsEmpty());
  EXPECT_TRUE(Context()->Finished);
}

TEST_F(PipelineTest, FailedWriteOfTheReplacementIsLoggedAndTheRequestStillFinishes) {
  StartWith({1});
  connection_.failWriteClient = true;
  Script(1, SF_NOTIFY_AUTH_COMPLETE, {.controlStatus = REPLACE_BUFFER, .replacement = "x"});

  EXPECT_EQ(connection_.AuthComplete(filter_), SF_STATUS_REQ_FINISHED_KEEP_CONN);
  EXPECT_TRUE(log_.Contains("PostProcessNotification failed to WriteClient Error: 232"));
}

TEST_F(PipelineTest, CompletedRequestFinishesWithoutAWrite) {
  StartWith({1, 2});
  Script(1, SF_NOTIFY_AUTH_COMPLETE, {.controlStatus = COMPLETED_REQUEST, .feature = 2});

  EXPECT_EQ(connection_.AuthComplete(filter_), SF_STATUS_REQ_FINISHED_KEEP_CONN);
  EXPECT_THAT(CalledFor(SF_NOTIFY_AUTH_COMPLETE), ElementsAre(1));
  EXPECT_THAT(connection_.clientWrites, IsEmpty());
  EXPECT_TRUE(log_.Contains("SW DLL 1 returned status COMPLETED_REQUEST, Feature 2, Notification 67108864"));
}

TEST_F(PipelineTest, UndefinedStatusIsLoggedAndTheNextWorkerRuns) {
  StartWith({1, 2});
  Script(1, SF_NOTIFY_SEND_RESPONSE, {.controlStatus = 9, .feature = 4});

  connection_.SendResponse(filter_);
  EXPECT_THAT(CalledFor(SF_NOTIFY_SEND_RESPONSE), ElementsAre(1, 2));
  EXPECT_TRUE(log_.Contains("SW DLL 1 returned an UNDEFINED status, Feature 4, Notification 64"));
}

TEST_F(PipelineTest, UninitialisedLastWorkerMakesTheResultZero) {
  AddWorker(1, kAllSix);
  AddWorker(2, kAllSix).Initialised = false;
  Start();
  Attach({1, 2});

  EXPECT_EQ(BasePipeline(SF_NOTIFY_PREPROC_HEADERS), 0u);
  EXPECT_THAT(CalledFor(SF_NOTIFY_PREPROC_HEADERS), ElementsAre(1));
}

TEST_F(PipelineTest, OnlyWorkersWithAContextAndTheNotificationAreCalled) {
  AddWorker(1, kAllSix);
  AddWorker(2, kAllSix);
  AddWorker(3, SF_NOTIFY_PREPROC_HEADERS);
  Start();
  Attach({2, 3});

  BasePipeline(SF_NOTIFY_PREPROC_HEADERS);
  connection_.SendResponse(filter_);
  EXPECT_THAT(CalledFor(SF_NOTIFY_PREPROC_HEADERS), ElementsAre(2, 3));
  EXPECT_THAT(CalledFor(SF_NOTIFY_SEND_RESPONSE), ElementsAre(2));
}

TEST_F(PipelineTest, WithoutAContextNoWorkerIsCalled) {
  AddWorker(1, kAllSix);
  Start();

  EXPECT_EQ(connection_.PreprocHeaders(filter_), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(connection_.EndOfRequest(filter_), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(connection_.EndOfNetSession(filter_), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_THAT(ScriptedWorkers::Instance().Calls(), IsEmpty());
  EXPECT_TRUE(log_.Contains("[CEndOfRequestNotification::PreProcessNotification] Context NULL, do nothing."));
  EXPECT_TRUE(log_.Contains("[CLogNotification::PreProcessNotification] Context NULL, do nothing."));
}

TEST_F(PipelineTest, ProxiedRequestReachesNoWorkerWhenEveryWorkerIgnoresProxies) {
  StartWith({1}).Proxied = true;

  EXPECT_EQ(BasePipeline(SF_NOTIFY_PREPROC_HEADERS), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_THAT(ScriptedWorkers::Instance().Calls(), IsEmpty());
}

TEST_F(PipelineTest, ProxiedRequestReachesOnlyTheWorkersThatWantProxies) {
  AddWorker(1, kAllSix);
  AddWorker(2, kAllSix).IgnoresProxied = false;
  Start();
  GetCoreGeneralSettings()->SetAllWorkersIgnoreProxied(false);
  Attach({1, 2}).Proxied = true;

  BasePipeline(SF_NOTIFY_PREPROC_HEADERS);
  EXPECT_THAT(CalledFor(SF_NOTIFY_PREPROC_HEADERS), ElementsAre(2));
}

TEST_F(PipelineTest, EndOfRequestClosesTheImpersonationTokenAndReleasesTheContext) {
  const size_t handlesBefore = platform::OpenTokenHandleCount();
  CFilterContext& context = StartWith({1});
  context.ImpersonationToken = platform::CreateAccessToken({"alice", "CONTOSO", "S-1-5-21-7", {}});
  context.UserName = "alice";

  connection_.EndOfRequest(filter_);
  EXPECT_EQ(Context(), nullptr);
  EXPECT_EQ(platform::OpenTokenHandleCount(), handlesBefore);
  EXPECT_TRUE(log_.Contains("EndOfNotification CloseHandle UserToken unused"));
  EXPECT_TRUE(log_.Contains("CEndOfRequestNotification::EndOfNotification User: alice Context pointer"));
}

TEST_F(PipelineTest, EndOfSessionReleasesAContextLeftOnTheConnection) {
  StartWith({1});

  connection_.EndOfNetSession(filter_);
  EXPECT_THAT(CalledFor(SF_NOTIFY_END_OF_NET_SESSION), ElementsAre(1));
  EXPECT_EQ(Context(), nullptr);
  EXPECT_TRUE(log_.Contains("CEndOfSessionNotification::EndOfNotification User:  Context pointer"));
}

// A worker that sets REDIRECTED at the end still does not stop the others from seeing it.
TEST_F(PipelineTest, EndNotificationsNeverStopEarly) {
  StartWith({1, 2});
  Script(1, SF_NOTIFY_END_OF_REQUEST, {.controlStatus = COMPLETED_REQUEST});

  connection_.EndOfRequest(filter_);
  EXPECT_THAT(CalledFor(SF_NOTIFY_END_OF_REQUEST), ElementsAre(1, 2));
}

}  // namespace
}  // namespace nexoral::testing
