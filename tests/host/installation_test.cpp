// Whole installations in temporary folders, started and stopped through the real module's
// exported entry points: settings, worker loading and ordering, the flags the server gets, the
// log and the event log, and the workers' termination.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "harness/installation.h"
#include "nexoral/filter_interface.h"

namespace nexoral::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// The installation, its environment and the loaded module. Each test loads its own copy of the
// module, so no state carries over between tests.
class InstallationTest : public ::testing::Test {
 protected:
  InstallationTest()
      : events_("NEXORAL_EVENT_LOG_FILE", install_.Path("events.log")),
        calls_("NEXORAL_TEST_WORKER_RECORD", install_.Path("calls.txt")) {}

  ~InstallationTest() override {
    if (module_ != nullptr) dlclose(module_);
  }

  // Core items that send the log to <root>/logs as plain lines.
  std::map<int, std::string> LogItems() const {
    return {{14, "1"}, {12, "3"}, {39, install_.Path("logs")}};
  }

  WorkerEntry Worker(int id, const std::string& variant, const std::string& name, int order,
                     const std::string& pools = "") {
    return install_.Worker(id, variant, name, order, pools);
  }

  void Load() {
    module_ = dlopen(install_.ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    getFilterVersion_ = reinterpret_cast<PFN_GETFILTERVERSION>(dlsym(module_, "GetFilterVersion"));
    httpFilterProc_ = reinterpret_cast<PFN_HTTPFILTERPROC>(dlsym(module_, "HttpFilterProc"));
    terminateFilter_ = reinterpret_cast<PFN_TERMINATEFILTER>(dlsym(module_, "TerminateFilter"));
    ASSERT_TRUE(getFilterVersion_ && httpFilterProc_ && terminateFilter_);
  }

  DWORD Start(DWORD flagsBefore) {
    Load();
    HTTP_FILTER_VERSION version{};
    version.dwFlags = flagsBefore;
    EXPECT_EQ(getFilterVersion_(&version), TRUE);
    return version.dwFlags;
  }

  std::vector<std::string> LogLines() const { return install_.LogLines(); }
  std::vector<std::string> Events() const { return install_.FileLines("events.log"); }
  std::vector<std::string> WorkerCalls() const { return install_.FileLines("calls.txt"); }

  TestInstallation install_;
  InstallationEnvironment environment_{install_, ""};
  ScopedEnvironment events_;
  ScopedEnvironment calls_;
  void* module_ = nullptr;
  PFN_GETFILTERVERSION getFilterVersion_ = nullptr;
  PFN_HTTPFILTERPROC httpFilterProc_ = nullptr;
  PFN_TERMINATEFILTER terminateFilter_ = nullptr;
};

TEST_F(InstallationTest, StartsTheWorkersOfThePoolInOrderAndStopsThemInListOrder) {
  std::vector<WorkerEntry> workers = {
      Worker(1, "HeadersWorker", "Headers", 20),
      Worker(2, "AuthWorker", "Auth", 10, "owapool;OtherPool"),
      Worker(3, "DecliningWorker", "Declining", 30),
      Worker(4, "NoTerminateWorker", "NoTerminate", 5),
      Worker(5, "HeadersWorker", "ElsewhereOnly", 1, "OwaPoolTwo;Other"),
      WorkerEntry{6, {{1, "Zephyrquill/Nexoral/workers/Missing.so"}, {2, "1"}, {4, "Missing"}}},
      Worker(7, "HeadersWorker", "Disabled", 2),
  };
  workers.back().items[2] = "0";
  install_.WriteCoreSettings(LogItems(), workers);

  const DWORD flags = Start(0x1);
  EXPECT_EQ(flags, 0x1u | 0x4040u | 0x4000080u | 0x180u);
  EXPECT_THAT(WorkerCalls(), ElementsAre("AuthWorker GetFilterVersion 0", "HeadersWorker GetFilterVersion 0",
                                         "DecliningWorker GetFilterVersion 0"));

  const std::vector<std::string> events = Events();
  EXPECT_EQ(CountContaining(events, "Zephyrquill loaded and initialized SW Auth, Version: "
                                    "AuthWorker-file-1.2 AppPool: OwaPool"), 1u);
  EXPECT_EQ(CountContaining(events, "Zephyrquill loaded and initialized SW Headers, Version: "
                                    "HeadersWorker-file-1.2 AppPool: OwaPool"), 1u);
  EXPECT_EQ(CountContaining(events, "Zephyrquill failed to initialize SW Declining, Version: "
                                    "DecliningWorker-file-1.2 AppPool: OwaPool"), 1u);
  EXPECT_EQ(CountContaining(events, "Service worker NoTerminate  couldn't find exported function "
                                    " TerminateFilter AppPool: OwaPool"), 1u);
  EXPECT_EQ(CountContaining(events, "Zephyrquill path to service worker dll invalid Path: " +
                                        install_.Root() + "Zephyrquill/Nexoral/workers/Missing.so"),
            1u);
  EXPECT_EQ(CountContaining(events, "Nexoral successfully initialized in App Pool OwaPool PID: " +
                                        std::to_string(getpid())), 1u);
  EXPECT_EQ(CountContaining(events, "ERROR [0x600000CA] Nexoral failed"), 0u);
  EXPECT_EQ(CountContaining(events, "[0x60000065]"), 1u) << "the settings host's own report";

  const std::vector<std::string> log = LogLines();
  EXPECT_EQ(CountContaining(log, "Core Initialization SUCCEEDED"), 1u);
  EXPECT_EQ(CountContaining(log, "CachedScriptManager initialization SUCCEEDED, ret code: 0"), 1u);
  EXPECT_EQ(CountContaining(log, "ServiceWorkers initialized via GetFilterVersion"), 1u);
  EXPECT_EQ(CountContaining(log, "SW ElsewhereOnly with ID 5 is not subscribed to App Pool OwaPool"), 1u);
  EXPECT_EQ(CountContaining(log, "Service Worker failed to initialize Declining, DecliningWorker "
                                 "declines Version: 3"), 1u);
  EXPECT_EQ(CountContaining(log, "Nexoral.dll FileVer: "), 1u);
  EXPECT_TRUE(std::filesystem::exists(install_.RegistryRoot() + "/software/zephyrquill/setup.reg"));

  EXPECT_EQ(terminateFilter_(7), TRUE);
  EXPECT_THAT(WorkerCalls(), ElementsAre("AuthWorker GetFilterVersion 0", "HeadersWorker GetFilterVersion 0",
                                         "DecliningWorker GetFilterVersion 0",
                                         "AuthWorker TerminateFilter 7",
                                         "HeadersWorker TerminateFilter 7"));
}

TEST_F(InstallationTest, WithNoWorkerForThePoolEveryNotificationPassesAndNothingIsReported) {
  install_.WriteCoreSettings(LogItems(), {Worker(1, "HeadersWorker", "Headers", 1, "Other"),
                                         Worker(2, "AuthWorker", "Auth", 2, "OwaPool2")});
  EXPECT_EQ(Start(0x8), 0x8u);
  EXPECT_THAT(WorkerCalls(), IsEmpty());
  HTTP_FILTER_CONTEXT pfc{};
  for (DWORD type : {SF_NOTIFY_PREPROC_HEADERS, SF_NOTIFY_AUTH_COMPLETE, SF_NOTIFY_END_OF_REQUEST}) {
    EXPECT_EQ(httpFilterProc_(&pfc, type, nullptr), SF_STATUS_REQ_NEXT_NOTIFICATION);
  }
  EXPECT_EQ(pfc.pFilterContext, nullptr);
  const std::vector<std::string> events = Events();
  EXPECT_EQ(CountContaining(events, "App Pool"), 0u);
  EXPECT_EQ(CountContaining(events, "SW "), 0u);
  EXPECT_EQ(CountContaining(LogLines(), "ServiceWorkers are not subscribed to this pool OwaPool"), 1u);
  EXPECT_EQ(terminateFilter_(0), TRUE);
  EXPECT_THAT(WorkerCalls(), IsEmpty());
}

TEST_F(InstallationTest, WithoutTheCoreSettingsFileStartUpFailsQuietlyTowardsTheServer) {
  EXPECT_EQ(Start(0x4000), 0x4000u);
  const std::vector<std::string> events = Events();
  EXPECT_EQ(CountContaining(events, "Loading Settings failed " + install_.SettingsFolder()), 2u)
      << "reported when the load fails and again with the start-up failure";
  EXPECT_EQ(CountContaining(events, "ERROR [0x600000C9]"), 1u);
  EXPECT_EQ(CountContaining(events, "Nexoral failed to initialize"), 0u)
      << "an inactive module writes no start-up report of its own";
  EXPECT_EQ(terminateFilter_(0), TRUE);
}

TEST_F(InstallationTest, WithoutTheResourceModuleStartUpFails) {
  install_.WriteCoreSettings(LogItems(), {Worker(1, "HeadersWorker", "Headers", 1)});
  std::filesystem::remove(install_.ModuleFolder() + "Resource/CoreRes.so");
  EXPECT_EQ(Start(0), 0u);
  EXPECT_THAT(WorkerCalls(), IsEmpty());
  const std::vector<std::string> events = Events();
  EXPECT_EQ(CountContaining(events, " Resource Class LoadModule failed  " + install_.ModuleFolder() +
                                        "Resource/CoreRes.so error 2"), 1u);
  EXPECT_EQ(CountContaining(LogLines(), "Core Initialization FAILED"), 0u)
      << "the log is only set up once the settings loaded";
}

TEST_F(InstallationTest, WithoutTheCacheComponentStartUpFails) {
  install_.WriteCoreSettings(LogItems(), {Worker(1, "HeadersWorker", "Headers", 1)});
  std::filesystem::remove(install_.Path("Zephyrquill/Common Files/bin/ZQCache.so"));
  EXPECT_EQ(Start(0), 0u);
  EXPECT_THAT(WorkerCalls(), IsEmpty());
  const std::vector<std::string> log = LogLines();
  EXPECT_EQ(CountContaining(log, "CCoreGeneralSettings::InitializeCache failed to instantiate the Cache Object"), 1u);
  EXPECT_EQ(CountContaining(log, "Core Initialization FAILED"), 1u);
}

TEST_F(InstallationTest, BufferedLinesAreWrittenWhenTheProcessExits) {
  std::map<int, std::string> items = LogItems();
  items[12] = "2";  // the buffered writer keeps lines until a flush
  install_.WriteCoreSettings(items, {Worker(1, "HeadersWorker", "Headers", 1)});
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Start(0);
    terminateFilter_(0);
    std::exit(0);  // the exit handlers and the module's unload hook run as in a server
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the process must exit cleanly";
  const std::vector<std::string> log = LogLines();
  EXPECT_EQ(CountContaining(log, "ServiceWorkers initialized via GetFilterVersion"), 1u);
  EXPECT_EQ(CountContaining(log, "TerminateFilter before SW calls flags 0"), 1u);
}

}  // namespace
}  // namespace nexoral::testing
