// Start-up, dispatch and shutdown of the filter over a worker list, and the proxy handling of
// service workers loaded from a test installation by an in-process settings host.
#include "host/filter_entry.h"

#include "diagnostics/log.h"
#include "harness/installation.h"
#include "harness/settings_host_double.h"
#include "host/pipeline_fixture.h"
#include "platform/thread_token.h"

namespace nexoral::testing {
namespace {

class FilterEntryTest : public ::testing::Test, protected Pipeline {};

TEST_F(FilterEntryTest, AFailedStartStaysInactiveAndTheStopCallsNoWorker) {
  AddWorker(1).LoadValue = 0;  // listed but not to be loaded: the list is inactive
  workers_.UpdateActiveFlag();
  HTTP_FILTER_VERSION version{};
  version.dwFlags = 0x1234;
  // A test program is no installation: the settings host finds no module folder.
  EXPECT_EQ(StartFilter(workers_, &version), TRUE);
  EXPECT_EQ(version.dwFlags, 0x1234u);
  EXPECT_FALSE(workers_.IsActive());
  EXPECT_FALSE(log_.Contains("ServiceWorkers")) << "no worker is loaded after a failed start";
  EXPECT_EQ(events_.Count("App Pool"), 0u) << "an inactive module writes no start-up report";

  Attach({1});
  for (DWORD type : {SF_NOTIFY_PREPROC_HEADERS, SF_NOTIFY_AUTH_COMPLETE, SF_NOTIFY_SEND_RESPONSE,
                     SF_NOTIFY_SEND_RAW_DATA, SF_NOTIFY_END_OF_REQUEST, SF_NOTIFY_END_OF_NET_SESSION}) {
    EXPECT_EQ(Send(type), SF_STATUS_REQ_NEXT_NOTIFICATION);
  }
  EXPECT_NE(Context(), nullptr) << "an inactive filter must not touch the connection";
  EXPECT_THAT(ScriptedWorkers::Instance().Calls(), IsEmpty());

  GetCoreGeneralSettings()->EventLog().Register("Stop Test");
  EXPECT_EQ(StopFilter(workers_, 5), TRUE);
  EXPECT_THAT(ScriptedWorkers::Instance().terminateCalls, IsEmpty());
  EXPECT_FALSE(GetCoreGeneralSettings()->EventLog().IsRegistered()) << "the settings host stops";
  EXPECT_EQ(LogLock(), nullptr);
}

TEST_F(FilterEntryTest, AuthCompleteRefreshesAsTheProcessAndUnservedNotificationsPass) {
  AddWorker(1, kAllSix | SF_NOTIFY_READ_RAW_DATA);
  Attach({1});
  HANDLE token = platform::CreateAccessToken({"alice", "CONTOSO", "S-1-5-21-1", {}});
  ASSERT_TRUE(platform::SetThreadToken(token));
  const size_t handlesBefore = platform::OpenTokenHandleCount();

  Send(SF_NOTIFY_AUTH_COMPLETE);
  EXPECT_EQ(platform::EffectiveIdentity().user, "alice") << "the request's identity is back";
  EXPECT_EQ(platform::OpenTokenHandleCount(), handlesBefore);
  platform::RevertToSelf();
  platform::CloseAccessToken(token);

  EXPECT_EQ(Send(SF_NOTIFY_READ_RAW_DATA), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(Send(0x10), SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(DispatchNotification(workers_, nullptr, SF_NOTIFY_PREPROC_HEADERS, nullptr),
            SF_STATUS_REQ_NEXT_NOTIFICATION);
  // No criterion applies to a request without captured values: no worker is called.
  EXPECT_EQ(ScriptedWorkers::Instance().Calls().size(), 0u);
}

// Item 7 of a worker: 0 takes proxied requests. One such worker clears the settings host's
// "every worker ignores proxied requests"; without one it is set again.
TEST(WorkerHostTest, ItemSevenDecidesWhichWorkersTakeProxiedRequests) {
  TestInstallation install;
  InstallationEnvironment environment{install, BuiltComponentsFolder()};
  EventCapture events;
  std::vector<WorkerEntry> workers = {install.Worker(1, "HeadersWorker", "Headers", 1),
                                      install.Worker(2, "AuthWorker", "Auth", 2)};
  for (const bool secondIgnores : {false, true}) {
    workers[1].items[7] = secondIgnores ? "1" : "0";
    install.WriteCoreSettings({}, workers);
    SettingsHostDouble host(install.ModulePath());
    ASSERT_TRUE(host.Start());
    host.SetAllWorkersIgnoreProxied(!secondIgnores);
    CServiceWorkers list;
    ASSERT_TRUE(list.LoadServiceWorkers(host));
    EXPECT_TRUE(list.Workers()[0]->IgnoresProxied);
    EXPECT_EQ(list.Workers()[1]->IgnoresProxied, secondIgnores);
    EXPECT_EQ(host.AllWorkersIgnoreProxied(), secondIgnores);
  }
}

}  // namespace
}  // namespace nexoral::testing
