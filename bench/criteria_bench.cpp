// GetCriteriaID as a request thread runs it: a criteria file of 200 criteria in which only the
// last one matches the request, so every test walks nearly all of them. Criteria 1 to 199 take
// turns: an IPv4 range, an IPv6 range, user agents, host names, a group SID; none holds the
// request. Criterion 200 holds its address, user agent, host and one of its groups. The bypass
// list has two SIDs the user lacks; the thread impersonates a user of eight groups.
// directory:1 gives criterion 200 a UPN-suffix test as well, so each call also reads the user's
// principal name from the directory, here the in-memory one loaded from an LDIF file of 50 users.
// One iteration is one call. Run: build/bench/criteria_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "criteria/ad_user_config.h"
#include "criteria/handle_criteria_settings.h"
#include "platform/directory.h"
#include "platform/error_codes.h"
#include "platform/thread_token.h"

namespace {

using nexoral::CHandleCriteriaSettings;

constexpr int kCriteria = 200;
constexpr int kUsers = 50;

std::string Item(int id, const std::string& value) {
  return "<CRITERION ID='" + std::to_string(id) + "' DESCR='' VALUE='" + value + "'/>";
}

std::string CriteriaFile(bool directory) {
  std::string file = "<SETTINGS><GENERALSETTINGS><ITEM ID='48' DESCR='' VALUE='S-1-5-21-7-7-7-500;"
                     "S-1-5-21-7-7-7-501'/></GENERALSETTINGS>";
  for (int i = 1; i <= kCriteria; ++i) {
    const std::string n = std::to_string(i);
    std::string items;
    if (i == kCriteria) {
      items = Item(1, "192.168.0.0;192.168.255.255") + Item(13, "MSIE 7.0;Tool") + Item(14, "mail.example.com") +
              Item(12, "1") + Item(10, "S-1-5-21-7-7-7-1107");
      if (directory) items += Item(7, "1") + Item(8, "1") + Item(2, "example.test");
    } else if (i % 5 == 0) {
      items = Item(1, "10." + n + ".0.0;10." + n + ".255.255");
    } else if (i % 5 == 1) {
      items = Item(1, "fd00:" + n + "::;fd00:" + n + "::ffff");
    } else if (i % 5 == 2) {
      items = Item(13, "Agent/" + n + ";Tool " + n);
    } else if (i % 5 == 3) {
      items = Item(14, "host-" + n + ".example.com");
    } else {
      items = Item(12, "1") + Item(10, "S-1-5-21-7-7-7-" + std::to_string(3000 + i));
    }
    file += "<CRITERIA ID='" + n + "' VALUE='criterion " + n + "'>" + items + "</CRITERIA>";
  }
  return file + "</SETTINGS>";
}

std::string Directory() {
  std::string ldif = "dn: dc=example,dc=test\nobjectClass: dcObject\ndc: example\n";
  for (int i = 0; i < kUsers; ++i) {
    const std::string name = i == kUsers - 1 ? "alice" : "user" + std::to_string(i);
    ldif += "\ndn: cn=" + name + ",dc=example,dc=test\nobjectClass: user\nobjectCategory: person\ncn: " + name +
            "\nsAMAccountName: " + name + "\nuserPrincipalName: " + name + "@example.test\n";
  }
  return ldif;
}

void Write(const std::string& path, const std::string& content) { std::ofstream(path) << content; }

void BM_GetCriteriaID(benchmark::State& state) {
  const bool directory = state.range(0) != 0;
  char folder[] = "/tmp/criteria_bench.XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string path = std::string(folder) + "/";
  Write(path + nexoral::kCoreSettingsFileName, "<SETTINGS/>");
  Write(path + nexoral::kCriteriaFileName, CriteriaFile(directory));
  Write(path + "users.ldif", Directory());
  Write(path + nexoral::platform::kDirectoryConfigFileName, "ldif = users.ldif\n");
  CHandleCriteriaSettings engine;
  const bool loaded = nexoral::Succeeded(engine.LoadSettings(path)) &&
                      nexoral::LoadDirectoryConfiguration(path) == nexoral::kSOk;
  for (const char* name : {nexoral::kCoreSettingsFileName, nexoral::kCriteriaFileName, "users.ldif",
                           nexoral::platform::kDirectoryConfigFileName}) {
    unlink((path + name).c_str());
  }
  rmdir(folder);
  if (!loaded) {
    state.SkipWithError("the settings do not load");
    return;
  }

  nexoral::platform::TokenIdentity alice{"alice", "EXAMPLE", "S-1-5-21-7-7-7-1001", {}};
  for (int group = 1100; group < 1108; ++group) alice.groupSids.push_back("S-1-5-21-7-7-7-" + std::to_string(group));
  const HANDLE token = nexoral::platform::CreateAccessToken(alice);
  nexoral::platform::SetThreadToken(token);
  const std::string ip = "192.168.10.20", user = "alice", host = "mail.example.com";
  const std::string agent = "Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1)";
  int32_t id = 0;
  bool bypassed = false;
  if (!engine.GetCriteriaID(id, ip, user, agent, host, "", "", bypassed) || id != kCriteria) {
    state.SkipWithError("the request does not match the last criterion");
  }
  for (auto _ : state) {
    engine.GetCriteriaID(id, ip, user, agent, host, "", "", bypassed);
    benchmark::DoNotOptimize(id);
  }
  nexoral::platform::RevertToSelf();
  nexoral::platform::CloseAccessToken(token);
  nexoral::platform::SetProcessDirectory(nullptr);
}
BENCHMARK(BM_GetCriteriaID)->ArgName("directory")->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
