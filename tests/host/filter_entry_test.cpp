// Start-up, dispatch and shutdown of the filter over a worker list.
#include "host/filter_entry.h"

#include <gtest/gtest.h>

#include "diagnostics/log.h"
#include "host/pipeline_fixture.h"
#include "platform/thread_token.h"

namespace nexoral::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class FilterEntryTest : public PipelineFixture {
 protected:
  void SetUp() override {
    PipelineFixture::SetUp();
    TerminateCalls().clear();
  }
};

TEST_F(FilterEntryTest, AFailedSettingsStartSkipsTheWorkersAndStaysInactive) {
  // A test program is no installation: the settings host finds no module folder.
  HTTP_FILTER_VERSION version{};
  version.dwFlags = 0x1234;
  EXPECT_EQ(StartFilter(workers_, &version), TRUE);
  EXPECT_EQ(version.dwFlags, 0x1234u);
  EXPECT_FALSE(workers_.IsActive());
  EXPECT_TRUE(log_.Contains("Core Initialization FAILED"));
  EXPECT_TRUE(log_.Contains("CachedScriptManager initialization "));
  EXPECT_FALSE(log_.Contains("ServiceWorkers")) << "no worker is loaded after a failed start";
  EXPECT_EQ(events_.Count("App Pool"), 0u) << "an inactive module writes no start-up report";

  Attach({});
  for (DWORD type : {SF_NOTIFY_PREPROC_HEADERS, SF_NOTIFY_AUTH_COMPLETE, SF_NOTIFY_SEND_RESPONSE,
                     SF_NOTIFY_SEND_RAW_DATA, SF_NOTIFY_END_OF_REQUEST, SF_NOTIFY_END_OF_NET_SESSION}) {
    EXPECT_EQ(connection_.Deliver(filter_, type), SF_STATUS_REQ_NEXT_NOTIFICATION);
  }
  EXPECT_NE(Context(), nullptr) << "an inactive filter must not touch the connection";
}

TEST_F(FilterEntryTest, InactiveListPassesEveryNotificationUntouched) {
  AddWorker(1, kAllSix).LoadValue = 0;
  Start();
  ASSERT_FALSE(workers_.IsActive());
  Attach({1});
  EXPECT_EQ(connection_.PreprocHeaders(filter_), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(connection_.EndOfRequest(filter_), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_THAT(ScriptedWorkers::Instance().Calls(), IsEmpty());
}

TEST_F(FilterEntryTest, UnservedNotificationTypesPassWhileActive) {
  AddWorker(1, kAllSix | SF_NOTIFY_READ_RAW_DATA);
  Start();
  Attach({1});
  EXPECT_EQ(connection_.Deliver(filter_, SF_NOTIFY_READ_RAW_DATA), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(connection_.Deliver(filter_, 0x10), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(DispatchNotification(workers_, nullptr, SF_NOTIFY_PREPROC_HEADERS, nullptr),
            SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_THAT(ScriptedWorkers::Instance().Calls(), IsEmpty());
}

TEST_F(FilterEntryTest, AuthCompleteRefreshLeavesTheRequestsImpersonationInPlace) {
  AddWorker(1, kAllSix);
  Start();
  Attach({1});
  HANDLE token = platform::CreateAccessToken({"alice", "CONTOSO", "S-1-5-21-1", {}});
  ASSERT_TRUE(platform::SetThreadToken(token));
  const size_t handlesBefore = platform::OpenTokenHandleCount();

  connection_.AuthComplete(filter_);
  EXPECT_EQ(platform::EffectiveIdentity().user, "alice");
  EXPECT_EQ(platform::OpenTokenHandleCount(), handlesBefore);
  EXPECT_THAT(CalledFor(SF_NOTIFY_AUTH_COMPLETE), ElementsAre(1));
  platform::RevertToSelf();
  platform::CloseAccessToken(token);
}

TEST_F(FilterEntryTest, WorkerFlagsAreJoinedWithTheEndNotifications) {
  CServiceWorkerDLLInfo& first = AddWorker(1, 0);
  first.pGetFilterVersion = FixedGetFilterVersion<SF_NOTIFY_PREPROC_HEADERS, TRUE>;
  CServiceWorkerDLLInfo& refusing = AddWorker(2, 0);
  refusing.pGetFilterVersion = FixedGetFilterVersion<SF_NOTIFY_SEND_RESPONSE, FALSE>;
  CServiceWorkerDLLInfo& third = AddWorker(3, 0);
  third.pGetFilterVersion = FixedGetFilterVersion<SF_NOTIFY_AUTH_COMPLETE, TRUE>;
  CServiceWorkerDLLInfo& otherPool = AddWorker(4, 0);
  otherPool.Subscribed = false;
  otherPool.pGetFilterVersion = FixedGetFilterVersion<SF_NOTIFY_SEND_RAW_DATA, TRUE>;

  HTTP_FILTER_VERSION version{};
  version.dwFlags = 0x1;
  EXPECT_TRUE(workers_.GetFilterVersion(&version));
  EXPECT_EQ(version.dwFlags, 0x1u | SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_AUTH_COMPLETE | 0x180u);
  EXPECT_EQ(first.NotificationFlags, SF_NOTIFY_PREPROC_HEADERS);
  EXPECT_TRUE(first.Initialised);
  EXPECT_FALSE(refusing.Initialised);
  EXPECT_EQ(refusing.NotificationFlags, 0u);
  EXPECT_EQ(otherPool.NotificationFlags, 0u) << "a worker of another pool is never asked";
  EXPECT_TRUE(log_.Contains("Service Worker failed to initialize worker2, refusing worker Version: 7"));
  EXPECT_TRUE(log_.Contains("GetFilterVersion failed SW worker2, Version: "));
  EXPECT_EQ(events_.Count("Zephyrquill loaded and initialized SW"), 2u);
  EXPECT_EQ(events_.Count("Zephyrquill failed to initialize SW worker2, Version:  AppPool: "), 1u);
}

TEST_F(FilterEntryTest, WithNoWorkerInitialisedTheFlagsStayAsPassed) {
  AddWorker(1, 0).pGetFilterVersion = FixedGetFilterVersion<SF_NOTIFY_PREPROC_HEADERS, FALSE>;
  HTTP_FILTER_VERSION version{};
  version.dwFlags = 0x8;
  EXPECT_FALSE(workers_.GetFilterVersion(&version));
  EXPECT_EQ(version.dwFlags, 0x8u);
}

TEST_F(FilterEntryTest, StopWhileInactiveCallsNoWorkerButStopsTheSettingsHost) {
  AddWorker(1, kAllSix).LoadValue = 0;
  Start();
  GetCoreGeneralSettings()->EventLog().Register("Stop Test");
  EXPECT_EQ(StopFilter(workers_, 5), TRUE);
  EXPECT_THAT(TerminateCalls(), IsEmpty());
  EXPECT_FALSE(GetCoreGeneralSettings()->EventLog().IsRegistered());
  EXPECT_TRUE(log_.Contains("TerminateFilter before SW calls flags 5"));
  EXPECT_EQ(LogLock(), nullptr);
}

TEST_F(FilterEntryTest, StopTerminatesInitialisedWorkersInListOrder) {
  AddWorker(1, kAllSix);
  AddWorker(2, kAllSix).Initialised = false;
  AddWorker(3, kAllSix);
  Start();
  StopFilter(workers_, 9);
  EXPECT_THAT(TerminateCalls(), ElementsAre(9u, 9u));
}

}  // namespace
}  // namespace nexoral::testing
