// Loading service workers from the core settings file of a test installation: which workers
// the list keeps, in which order, what each is subscribed to and what is reported.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/diagnostics_capture.h"
#include "harness/installation.h"
#include "harness/settings_host_double.h"
#include "host/service_workers.h"

namespace nexoral::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class WorkerHostTest : public ::testing::Test {
 protected:
  // The variant installed under its name followed by the id.
  WorkerEntry Worker(int id, const std::string& variant, int order, const std::string& pools = "") {
    return install_.Worker(id, variant, variant + std::to_string(id), order, pools);
  }

  // Starts a settings host on the installation and loads its workers.
  bool Load(const std::vector<WorkerEntry>& workers) {
    install_.WriteCoreSettings({}, workers);
    host_ = std::make_unique<SettingsHostDouble>(install_.ModulePath());
    EXPECT_TRUE(host_->Start());
    return list_.LoadServiceWorkers(*host_);
  }

  std::vector<uint32_t> ListedIds() const {
    std::vector<uint32_t> ids;
    for (const auto& worker : list_.Workers()) ids.push_back(worker->Id);
    return ids;
  }
  const CServiceWorkerDLLInfo& Listed(uint32_t id) const {
    for (const auto& worker : list_.Workers()) {
      if (worker->Id == id) return *worker;
    }
    throw std::runtime_error("worker not listed");
  }

  TestInstallation install_;
  InstallationEnvironment environment_{install_, BuiltComponentsFolder()};
  LogCapture log_;
  EventCapture events_;
  std::unique_ptr<SettingsHostDouble> host_;
  CServiceWorkers list_;
};

TEST_F(WorkerHostTest, WorkersAreListedByOrderWithTheirItemsAndEntryPoints) {
  ASSERT_TRUE(Load({Worker(1, "HeadersWorker", 20), Worker(2, "AuthWorker", 10)}));
  EXPECT_THAT(ListedIds(), ElementsAre(2u, 1u));
  const CServiceWorkerDLLInfo& auth = Listed(2);
  EXPECT_EQ(auth.Name, "AuthWorker2");
  EXPECT_EQ(auth.Order, 10);
  EXPECT_EQ(auth.LoadValue, 1u);
  EXPECT_EQ(auth.Path, install_.Root() + "Zephyrquill/Nexoral/workers/AuthWorker2.so");
  EXPECT_TRUE(auth.Subscribed);
  EXPECT_TRUE(auth.pGetFilterVersion && auth.pHttpFilterProc && auth.pTerminateFilter);
  EXPECT_EQ(auth.NotificationFlags, 0u);
  EXPECT_TRUE(list_.IsActive());
  EXPECT_NE(list_.HandlerFor(SF_NOTIFY_PREPROC_HEADERS), nullptr);
  EXPECT_TRUE(log_.Contains("App pool empty for AuthWorker2. Automaticalyy is subscribed"));
  EXPECT_TRUE(log_.Contains("SW AuthWorker2 with ID 2 is subscribed to App Pool OwaPool"));
}

TEST_F(WorkerHostTest, PoolListsMatchWholeNamesIgnoringCase) {
  ASSERT_TRUE(Load({Worker(1, "HeadersWorker", 1, "owapool;Other"),
                    Worker(2, "HeadersWorker", 2, "Other;OWAPOOL"),
                    Worker(3, "HeadersWorker", 3, "OwaPoolTwo;Owa"),
                    Worker(4, "HeadersWorker", 4, "Other")}));
  EXPECT_THAT(ListedIds(), ElementsAre(1u, 2u, 3u, 4u)) << "workers of other pools stay listed";
  EXPECT_TRUE(Listed(1).Subscribed);
  EXPECT_TRUE(Listed(2).Subscribed);
  EXPECT_FALSE(Listed(3).Subscribed);
  EXPECT_FALSE(Listed(4).Subscribed);
  EXPECT_FALSE(Listed(3).Module) << "a worker of another pool is never loaded";
  EXPECT_EQ(Listed(3).pHttpFilterProc, nullptr);
  EXPECT_TRUE(log_.Contains("SW HeadersWorker3 with ID 3 is not subscribed to App Pool OwaPool"));
}

TEST_F(WorkerHostTest, WhenNoWorkerServesThePoolTheListIsInactive) {
  EXPECT_TRUE(Load({Worker(1, "HeadersWorker", 1, "Other")}));
  EXPECT_FALSE(list_.IsActive());
}

TEST_F(WorkerHostTest, WorkersThatCannotRunAreLeftOutWithTheirReasons) {
  std::vector<WorkerEntry> workers = {Worker(1, "NoTerminateWorker", 1), Worker(2, "HeadersWorker", 2),
                                      Worker(3, "HeadersWorker", 3), Worker(4, "AuthWorker", 4)};
  workers[1].items[2] = "0";
  workers[2].items.erase(1);
  workers[3].items[1] = "Zephyrquill/Nexoral/workers/Gone.so";
  install_.WriteFile("Zephyrquill/Nexoral/workers/Broken.so", "not a shared object");
  workers.push_back(WorkerEntry{5, {{1, "Zephyrquill/Nexoral/workers/Broken.so"}, {2, "1"}, {4, "Broken"}}});
  EXPECT_FALSE(Load(workers));
  EXPECT_THAT(ListedIds(), IsEmpty());
  EXPECT_FALSE(list_.IsActive());
  EXPECT_TRUE(log_.Contains("CServiceWorkerDLLInfo::Initialize() couldn't find TerminateFilter"));
  EXPECT_EQ(events_.Count("Service worker NoTerminateWorker1  couldn't find exported function  "
                          "TerminateFilter AppPool: OwaPool"), 1u);
  EXPECT_TRUE(log_.Contains("LoadServiceWorkers path not found for SW ID: 3"));
  EXPECT_TRUE(log_.Contains("LoadServiceWorkers path to service worker dll invalid " + install_.Root() +
                            "Zephyrquill/Nexoral/workers/Gone.so"));
  EXPECT_EQ(events_.Count("Zephyrquill couldn't load Service worker Broken, " + install_.Root() +
                          "Zephyrquill/Nexoral/workers/Broken.so error: 126"), 1u);
  EXPECT_FALSE(log_.Contains("HeadersWorker2")) << "a load value of 0 is skipped silently";
  EXPECT_TRUE(log_.Contains("LoadServiceWorkers no Service workers are loaded"));
}

TEST_F(WorkerHostTest, OneWorkerTakingProxiedRequestsClearsTheAllIgnoreFlag) {
  std::vector<WorkerEntry> workers = {Worker(1, "HeadersWorker", 1), Worker(2, "AuthWorker", 2)};
  workers[1].items[7] = "0";
  ASSERT_TRUE(Load(workers));
  EXPECT_TRUE(Listed(1).IgnoresProxied);
  EXPECT_FALSE(Listed(2).IgnoresProxied);
  EXPECT_FALSE(host_->AllWorkersIgnoreProxied());

  CServiceWorkers other;
  workers[1].items[7] = "1";
  install_.WriteCoreSettings({}, workers);
  SettingsHostDouble second(install_.ModulePath());
  ASSERT_TRUE(second.Start());
  second.SetAllWorkersIgnoreProxied(false);
  ASSERT_TRUE(other.LoadServiceWorkers(second));
  EXPECT_TRUE(second.AllWorkersIgnoreProxied());
}

TEST_F(WorkerHostTest, AWorkerIsSubscribedByItsRulesUnlessItsExclusionsMatch) {
  install_.WriteFile(
      "Zephyrquill/Nexoral/Settings/CoreSettings.xml",
      "<SETTINGS><SERVICEWORKERS><SERVICEWORKER ID=\"1\" DESCR=\"\">"
      "<ITEM ID=\"1\" DESCR=\"\" VALUE=\"" + install_.InstallWorker("HeadersWorker", "w.so") + "\"/>"
      "<ITEM ID=\"2\" DESCR=\"\" VALUE=\"1\"/><ITEM ID=\"4\" DESCR=\"\" VALUE=\"W\"/>"
      "<SUBSCRIBTIONS><SUBSCRIBE FOLDER=\"owa\" FOLDERONLY=\"1\" Type=\"5\"/>"
      "<EXCLUDE FOLDER=\"scripts\" FOLDERONLY=\"1\" Type=\"9\"/></SUBSCRIBTIONS>"
      "</SERVICEWORKER></SERVICEWORKERS></SETTINGS>");
  host_ = std::make_unique<SettingsHostDouble>(install_.ModulePath());
  ASSERT_TRUE(host_->Start());
  ASSERT_TRUE(list_.LoadServiceWorkers(*host_));
  const CServiceWorkerDLLInfo& worker = Listed(1);
  CRequestInfo request;

  SubscriptionMatch match;
  EXPECT_TRUE(worker.CheckFolderSubscription(*host_, "/owa/inbox", "", match, request));
  EXPECT_EQ(match.ServiceWorkerId, 1u);
  EXPECT_EQ(match.Subscribed, 1u);
  EXPECT_EQ(match.MatchedBy, 5u);
  EXPECT_TRUE(log_.Contains("CheckFolderSubscription URL /owa/inbox, Subscribed: 1, By 5, SW_ID: 1"));

  SubscriptionMatch excluded;
  EXPECT_FALSE(worker.CheckFolderSubscription(*host_, "/owa/scripts/x.js", "js", excluded, request));
  EXPECT_EQ(excluded.Subscribed, 0u);
  EXPECT_TRUE(log_.Contains("CheckFolderSubscription URL excluded /owa/scripts/x.js By 9, SWID: 1"));

  SubscriptionMatch elsewhere;
  EXPECT_FALSE(worker.CheckFolderSubscription(*host_, "/ecp/", "", elsewhere, request));
  EXPECT_EQ(elsewhere.Subscribed, 0u);
}

}  // namespace
}  // namespace nexoral::testing
