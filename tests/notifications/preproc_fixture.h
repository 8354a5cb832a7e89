// Pre-processing tests' set-up: two scripted workers subscribed by the process's settings host
// (worker 1 to "owa", worker 2 to "owa" and "ews"), the host name read, and a request from
// outside to the web-mail over TLS on the fake connection.
#ifndef NEXORAL_TESTS_NOTIFICATIONS_PREPROC_FIXTURE_H
#define NEXORAL_TESTS_NOTIFICATIONS_PREPROC_FIXTURE_H

#include <map>
#include <string>
#include <vector>

#include "harness/installation.h"
#include "platform/error_codes.h"
#include "harness/temp_folder.h"
#include "host/pipeline_fixture.h"
#include "host/request_context.h"
#include "rewriting/cached_script_manager.h"

namespace nexoral::testing {

class PreProcFixture : public PipelineFixture {
 protected:
  void SetUp() override {
    PipelineFixture::SetUp();
    GetCoreGeneralSettings()->ReadComputerName();
    AddWorker(1, kAllSix);
    AddWorker(2, kAllSix);
    Start();
    LoadSettings({});
    connection_.serverVariables = {
        {"URL", "/owa/"},           {"HTTP_URL", "/owa/?ae=Folder&t=IPF.Note"},
        {"QUERY_STRING", "ae=Folder&t=IPF.Note"},
        {"REMOTE_ADDR", "192.0.2.7"}, {"LOCAL_ADDR", "10.1.1.5"},
        {"SERVER_PORT", "443"},     {"HTTPS", "on"},
        {"ALL_RAW", "Host: mail.example.com\r\nUser-Agent: Mozilla/5.0\r\n"}};
    connection_.requestHeaders.Set("Host", "mail.example.com");
    connection_.requestHeaders.Set("User-Agent", "Mozilla/5.0");
    liveBefore_ = LiveFilterContexts();
  }

  // Loads CoreSettings.xml with these core items and core exclusions into the settings host.
  void LoadSettings(const std::map<int, std::string>& items, const std::string& exclusions = "") {
    const std::vector<WorkerEntry> workers = {
        {1, {}, R"(<SUBSCRIBE FOLDER="owa" FOLDERONLY="1" Type="10"/>)"},
        {2, {}, R"(<SUBSCRIBE FOLDER="owa" FOLDERONLY="1" Type="20"/>)"
                R"(<SUBSCRIBE FOLDER="ews" FOLDERONLY="1" Type="21"/>)"}};
    settingsFolder_.WriteFile("CoreSettings.xml", CoreSettingsXml(items, workers, exclusions));
    ASSERT_EQ(GetCoreGeneralSettings()->Criteria().LoadSettings(settingsFolder_.Path() + "/"), kSOk);
  }

  void SetUrl(const std::string& url, const std::string& query = "") {
    connection_.serverVariables["URL"] = url;
    connection_.serverVariables["QUERY_STRING"] = query;
    connection_.serverVariables["HTTP_URL"] = query.empty() ? url : url + "?" + query;
  }
  // True when the request got a context and its workers were called.
  bool Taken() const { return !ScriptedWorkers::Instance().Calls().empty(); }
  std::string RequestHeader(const std::string& name) const {
    return connection_.requestHeaders.Get(name).value_or("<none>");
  }
  int64_t NewContexts() const { return LiveFilterContexts() - liveBefore_; }

  TempFolder settingsFolder_;
  int64_t liveBefore_ = 0;
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_NOTIFICATIONS_PREPROC_FIXTURE_H
