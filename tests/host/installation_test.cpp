// Whole installations in temporary folders, started and stopped through the real module's
// exported entry points: worker loading and ordering, the flags the server gets, the log and
// the event log, the workers' termination and the process exit; and the built module's exports.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "harness/installation.h"
#include "nexoral/filter_interface.h"

// The module and its workers are unloaded before the leak check at exit, whose scan of the
// threads' storage can then read an unloaded module's slot and crash (a fault of the leak
// checker, seen under ctest). Thread storage is left out of the roots: that can only report
// more leaks, never hide one.
extern "C" const char* __lsan_default_options() { return "use_tls=0"; }

namespace nexoral::testing {
namespace {

using Counts = std::vector<std::pair<std::string, size_t>>;

// An installation and its environment. Its module is only ever loaded by a child process: a
// process holds one installation's module (the module finds its folder by its loaded name).
struct Installation {
  // Core items that send the log to <root>/logs as plain lines (item 12 = 3).
  void WriteSettings(const std::vector<WorkerEntry>& workers, const std::string& writer = "3") {
    install.WriteCoreSettings({{14, "1"}, {12, writer}, {39, install.Path("logs")}}, workers);
  }
  // Serves in a child process as a server would: start-up, three notifications on a bare
  // connection, the stop and the process exit. The child's status is 0 when the server got
  // flagsAfter, every notification passed untouched and the stop succeeded.
  int Serve(DWORD flagsBefore, DWORD flagsAfter, DWORD stopFlags = 0) {
    const pid_t child = fork();
    if (child == 0) {
      void* module = dlopen(install.ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
      if (module == nullptr) std::_Exit(2);
      HTTP_FILTER_VERSION version{};
      version.dwFlags = flagsBefore;
      bool served = reinterpret_cast<PFN_GETFILTERVERSION>(dlsym(module, "GetFilterVersion"))(&version) &&
                    version.dwFlags == flagsAfter;
      auto httpFilterProc = reinterpret_cast<PFN_HTTPFILTERPROC>(dlsym(module, "HttpFilterProc"));
      HTTP_FILTER_CONTEXT pfc{};
      for (DWORD type : {SF_NOTIFY_PREPROC_HEADERS, SF_NOTIFY_AUTH_COMPLETE, SF_NOTIFY_END_OF_REQUEST}) {
        served = served && httpFilterProc(&pfc, type, nullptr) == SF_STATUS_REQ_NEXT_NOTIFICATION;
      }
      served = served && pfc.pFilterContext == nullptr &&
               reinterpret_cast<PFN_TERMINATEFILTER>(dlsym(module, "TerminateFilter"))(stopFlags);
      std::exit(served ? 0 : 1);  // the exit handlers and the module's unload hook run
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::vector<std::string> WorkerCalls() const { return install.FileLines("calls.txt"); }
  // How many event lines and log lines contain each text.
  void ExpectCounts(const Counts& events, const Counts& log) const {
    for (const auto& [text, count] : events) EXPECT_EQ(CountContaining(install.FileLines("events.log"), text), count) << text;
    for (const auto& [text, count] : log) EXPECT_EQ(CountContaining(install.LogLines(), text), count) << text;
  }

  TestInstallation install;
  InstallationEnvironment environment{install, ""};
  ScopedEnvironment eventsFile{"NEXORAL_EVENT_LOG_FILE", install.Path("events.log")};
  ScopedEnvironment callsFile{"NEXORAL_TEST_WORKER_RECORD", install.Path("calls.txt")};
};

TEST(InstallationTest, StartsThePoolsWorkersInOrderAndStopsThemInListOrder) {
  Installation run;
  TestInstallation& install = run.install;
  std::vector<WorkerEntry> workers = {
      install.Worker(1, "HeadersWorker", "Headers", 20),
      install.Worker(2, "AuthWorker", "Auth", 10, "owapool;OtherPool"),
      install.Worker(3, "DecliningWorker", "Declining", 30),
      install.Worker(4, "NoTerminateWorker", "NoTerminate", 5),
      install.Worker(5, "HeadersWorker", "ElsewhereOnly", 1, "OwaPoolTwo;Owa"),
      WorkerEntry{6, {{1, "Zephyrquill/Nexoral/workers/Missing.so"}, {2, "1"}, {4, "Missing"}}},
      install.Worker(7, "HeadersWorker", "Disabled", 2),
      install.Worker(8, "HeadersWorker", "NoPath", 8),
      WorkerEntry{9, {{1, "Zephyrquill/Nexoral/workers/Broken.so"}, {2, "1"}, {4, "Broken"}}}};
  workers[6].items[2] = "0";
  workers[7].items.erase(1);
  install.WriteFile("Zephyrquill/Nexoral/workers/Broken.so", "not a shared object");
  run.WriteSettings(workers);

  // The accepting workers' flags, with the end of the request and of the connection.
  EXPECT_EQ(run.Serve(0x1, 0x1u | 0x4040u | 0x4000080u | 0x180u, 7), 0);
  EXPECT_THAT(run.WorkerCalls(), ::testing::ElementsAre("AuthWorker GetFilterVersion 0", "HeadersWorker GetFilterVersion 0",
                                             "DecliningWorker GetFilterVersion 0", "AuthWorker TerminateFilter 7",
                                             "HeadersWorker TerminateFilter 7"));

  const Counts events = {
      {"Zephyrquill loaded and initialized SW Auth, Version: AuthWorker-file-1.2 AppPool: OwaPool", 1},
      {"Zephyrquill loaded and initialized SW Headers, Version: HeadersWorker-file-1.2 AppPool: OwaPool", 1},
      {"Zephyrquill failed to initialize SW Declining, Version: DecliningWorker-file-1.2 AppPool: OwaPool", 1},
      {"Service worker NoTerminate  couldn't find exported function  TerminateFilter AppPool: OwaPool", 1},
      {"Zephyrquill path to service worker dll invalid Path: " + install.Root() +
           "Zephyrquill/Nexoral/workers/Missing.so", 1},
      {"Nexoral successfully initialized in App Pool OwaPool PID: ", 1},
      {"Zephyrquill couldn't load Service worker Broken, " + install.Root() +
           "Zephyrquill/Nexoral/workers/Broken.so error: 126", 1},
      {"[0x60000065]", 1},  // the settings host's own report
      {"Disabled", 0}};
  run.ExpectCounts(events, {{"ServiceWorkers initialized via GetFilterVersion", 1}, {"Nexoral.dll FileVer: ", 1},
                            {"Service Worker failed to initialize Declining, DecliningWorker declines Version: 3", 1},
                            {"LoadServiceWorkers path not found for SW ID: 8", 1}});
  EXPECT_TRUE(std::filesystem::exists(install.RegistryRoot() + "/software/zephyrquill/setup.reg"));
}

// Installations whose start-up leaves the module inactive or failed: the server gets its flags
// back as they were, every notification passes untouched, and the stop succeeds.
TEST(InstallationTest, StartUpsThatFailOrFindNoWorkerLetEveryNotificationPass) {
  struct Row {
    const char* name;
    std::vector<std::pair<std::string, std::string>> workers;  // variant and pools, by order
    std::string removed;  // installed file removed before the start ("" none)
    DWORD flags;
    std::vector<std::string> calls;
    Counts events, log;
  };
  const std::vector<Row> rows = {
      {"NoWorkerForThePool", {{"HeadersWorker", "Other"}, {"AuthWorker", "OwaPool2"}}, "", 0x8, {},
       {{"App Pool", 0}, {"SW ", 0}}, {{"ServiceWorkers are not subscribed to this pool OwaPool", 1}}},
      {"NoWorkerLoads", {{"NoTerminateWorker", ""}}, "", 0x8, {}, {}, {{"no Service workers are loaded", 1}}},
      {"NoCoreSettings", {}, "Zephyrquill/Nexoral/Settings/CoreSettings.xml", 0x4000, {},
       // Reported when the load fails and again with the start-up failure; an inactive module
       // writes no start-up report of its own.
       {{"Loading Settings failed ", 2}, {"ERROR [0x600000C9]", 1},
        {"Nexoral failed to initialize", 0}}, {}},
      {"NoResourceModule", {{"HeadersWorker", ""}}, "Zephyrquill/Nexoral/Resource/CoreRes.so", 0, {},
       {{"Resource Class LoadModule failed  ", 1}},
       {{"Core Initialization FAILED", 0}}},  // the log is only set up once the settings loaded
      {"NoCacheComponent", {{"HeadersWorker", ""}}, "Zephyrquill/Common Files/bin/ZQCache.so", 0, {},
       {}, {{"CCoreGeneralSettings::InitializeCache failed to instantiate the Cache Object", 1},
            {"Core Initialization FAILED", 1}}},
      {"EveryWorkerDeclines", {{"DecliningWorker", ""}}, "", 0x8, {"DecliningWorker GetFilterVersion 0"},
       {{"Nexoral failed to initialize in App Pool OwaPool PID: ", 1}},
       {{"ServiceWorkers failed to initialize via GetFilterVersion", 1}}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Installation run;
    std::vector<WorkerEntry> workers;
    for (const auto& [variant, pools] : row.workers) {
      const int id = static_cast<int>(workers.size()) + 1;
      workers.push_back(run.install.Worker(id, variant, variant, id, pools));
    }
    run.WriteSettings(workers);
    if (!row.removed.empty()) std::filesystem::remove(run.install.Path(row.removed));

    EXPECT_EQ(run.Serve(row.flags, row.flags), 0);
    EXPECT_EQ(run.WorkerCalls(), row.calls);
    run.ExpectCounts(row.events, row.log);
  }
}

// At exit the module's unload hook flushes the buffered log: with the log module and the
// module still loaded and the log's state and locks still alive (a deferred unload in the
// middle of the exit code, and a flush after the state went, were faults once).
TEST(InstallationTest, BufferedLinesAreWrittenWhenTheProcessExits) {
  Installation run;
  run.WriteSettings({run.install.Worker(1, "HeadersWorker", "Headers", 1)}, "2");
  EXPECT_EQ(run.Serve(0, 0x4040 | 0x180), 0) << "the process must exit cleanly";
  run.ExpectCounts({}, {{"ServiceWorkers initialized via GetFilterVersion", 1},
                        {"TerminateFilter before SW calls flags 0", 1}});
}

TEST(ModuleTest, ExportsTheThreeFilterEntryPointsAndItsVersionTextsOnly) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("nm -D -j --defined-only '" + BuiltModulePath() + "'").c_str(), "r"),
                                             pclose);
  ASSERT_TRUE(pipe);
  std::string text(4096, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), pipe.get()));
  EXPECT_THAT(LinesOf(text), ::testing::UnorderedElementsAre("GetFilterVersion", "HttpFilterProc", "TerminateFilter",
                                                            "NexoralFileVersion", "NexoralProductVersion"));
}

}  // namespace
}  // namespace nexoral::testing
