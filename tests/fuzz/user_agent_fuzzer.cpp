// Fuzzes the user-agent tokens of the CDR test and the CDR filter: the input is a user agent,
// taken apart by UserAgentTokens and run through VerifyCDRCriteria against the criteria of a
// small file loaded once per process (criteria with and without CDR values, in mixed case).
// The oracle:
// - every token is non-empty, starts with no blank and occurs in the user agent, after its
//   first "(" when it has one; none comes of a "(" without a ")" after it;
// - a token is one ";" part of the parenthesised text or one " " part, so it never holds both
//   a ";" and a " "; without a "(" no token holds a blank;
// - the tokens of the agent in capitals are the tokens in capitals, in the same order;
// - the filter keeps the candidates in order and removes exactly those with CDR values of which
//   no token is one, ignoring case (none at all when the agent gives no token).
// Longer runs: "Fuzzing" in README.md.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "criteria/handle_criteria_settings.h"
#include "fuzz_check.h"

namespace {

using nexoral::CaseInsensitiveSet;

const std::string* shownAgent;

}  // namespace

namespace fuzz_check {
void Fail(const char* condition, int line) {
  if (shownAgent != nullptr) Show("agent  ", *shownAgent);
  Report(condition, line);
}
}  // namespace fuzz_check

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  return text;
}

// The engine with its criteria, loaded at the first input.
nexoral::CHandleCriteriaSettings& Engine() {
  static nexoral::CHandleCriteriaSettings* engine = [] {
    char folder[] = "/tmp/nexoral-ua-fuzz-XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    const std::string path = std::string(folder) + "/";
    const auto criterion = [](int id, const char* values) {
      return "<CRITERIA ID='" + std::to_string(id) + "' VALUE='c'>" +
             (*values ? std::string("<CRITERION ID='13' DESCR='' VALUE='") + values + "'/>" : "") + "</CRITERIA>";
    };
    fuzz_check::WriteFile(path + nexoral::kCriteriaFileName,
          "<SETTINGS>" + criterion(4, "MSIE 7.0;compatible") + criterion(2, "") + criterion(9, "windows nt 5.1") +
              criterion(3, "Gecko/2006;x11;U") + criterion(7, "(R1 1.6);A B;A;B") + criterion(1, ";x") + "</SETTINGS>");
    fuzz_check::WriteFile(path + nexoral::kCoreSettingsFileName, "<SETTINGS/>");
    auto* loaded = new nexoral::CHandleCriteriaSettings;
    const int saved = dup(2), null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    const HRESULT hr = loaded->LoadSettings(path);
    dup2(saved, 2);
    close(saved);
    close(null);
    if (hr != 0 || (loaded->Criteria()->KindsMask() & nexoral::CDR_CRITERIA) == 0) std::abort();
    unlink((path + nexoral::kCriteriaFileName).c_str());
    unlink((path + nexoral::kCoreSettingsFileName).c_str());
    rmdir(folder);
    return loaded;
  }();
  return *engine;
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string agent(reinterpret_cast<const char*>(data), size);
  shownAgent = &agent;
  const CaseInsensitiveSet tokens = nexoral::UserAgentTokens(agent);
  const size_t open = agent.find('(');
  if (open != std::string::npos && agent.find(')', open) == std::string::npos) EXPECT_OR_ABORT(tokens.empty());
  const std::string inside = open == std::string::npos ? agent : agent.substr(open + 1);
  for (const std::string& token : tokens) {
    EXPECT_OR_ABORT(!token.empty() && token.front() != ' ');
    EXPECT_OR_ABORT(inside.find(token) != std::string::npos);
    EXPECT_OR_ABORT(token.find(';') == std::string::npos || token.find(' ') == std::string::npos);
    EXPECT_OR_ABORT(open != std::string::npos || token.find(' ') == std::string::npos);
  }
  const CaseInsensitiveSet upper = nexoral::UserAgentTokens(Upper(agent));
  EXPECT_OR_ABORT(upper.size() == tokens.size() &&
                  std::equal(tokens.begin(), tokens.end(), upper.begin(),
                             [](const std::string& a, const std::string& b) { return Upper(a) == b; }));

  nexoral::CHandleCriteriaSettings& engine = Engine();
  const std::shared_ptr<const nexoral::CCriteriaSettings> criteria = engine.Criteria();
  nexoral::CandidateList all;
  for (size_t at = 0; at < criteria->CriteriaOrder().size(); ++at) {
    all.push_back({criteria->CriteriaOrder()[at], criteria->OrderedCriteria()[at]});
  }
  nexoral::CandidateList kept = all;
  engine.VerifyCDRCriteria(kept, agent);
  std::vector<int32_t> keptIds, expected;
  for (const nexoral::CCandidate& candidate : kept) keptIds.push_back(candidate.id);
  for (const nexoral::CCandidate& candidate : all) {
    const CaseInsensitiveSet& values = candidate.criterion->cdrValues;
    const bool shared = std::any_of(values.begin(), values.end(), [&](const std::string& value) {
      return std::any_of(tokens.begin(), tokens.end(), [&](const std::string& t) { return EqualIgnoringCase(t, value); });
    });
    if (tokens.empty() || values.empty() || shared) expected.push_back(candidate.id);
  }
  EXPECT_OR_ABORT(keptIds == expected);
  return 0;
}
