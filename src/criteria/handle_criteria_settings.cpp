// Loading and refreshing the criteria engine's settings.
#include "criteria/handle_criteria_settings.h"

#include <sys/stat.h>

#include "diagnostics/log.h"
#include "platform/error_codes.h"
#include "settings/core_items.h"
#include "settings/split_string.h"

namespace nexoral {
namespace {

std::string TrimBlanks(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::pair<std::string, std::string> SplitHeaderEntry(const std::string& entry) {
  const size_t colon = entry.find(':');
  if (colon == std::string::npos) return {std::string(), std::string()};
  std::string value = entry.substr(colon + 1);
  if (!value.empty() && value.front() == ' ') value.erase(0, 1);
  return {TrimBlanks(entry.substr(0, colon)), value};
}

HRESULT CHandleCriteriaSettings::LoadSettings(const std::string& folder) {
  CSyncGuard guard(lock_);
  const std::string criteriaPath = folder + kCriteriaFileName;
  HRESULT hr = LoadCriteriaFile(criteriaPath);
  if (Failed(hr)) {
    LogError(static_cast<DWORD>(hr), "CHandleCriteriaSettings::LoadSettings failed to load LoadCriteria %s",
             criteriaPath.c_str());
    return hr;
  }
  const std::string corePath = folder + kCoreSettingsFileName;
  hr = core_.Load(corePath);
  if (Failed(hr)) {
    LogError(static_cast<DWORD>(hr), "CHandleCriteriaSettings::LoadSettings failed to load LoadCoreSettings %s",
             corePath.c_str());
    return hr;
  }
  TakeCoreValues();
  return kSOk;
}

// The criteria file is not read by this version; its absence must not stop start-up.
HRESULT CHandleCriteriaSettings::LoadCriteriaFile(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    Log("CHandleCriteriaSettings::LoadSettings no criteria file %s, no criterion applies",
        path.c_str());
  } else {
    Log("CHandleCriteriaSettings::LoadSettings criteria file %s is not read by this version",
        path.c_str());
  }
  return kSOk;
}

void CHandleCriteriaSettings::TakeCoreValues() {
  int32_t number = 0;
  if (refreshEnabled_ && core_.GetItemValue(kItemCriteriaRefresh, number)) {
    refreshEnabled_ = number != 0;
  }
  number = 0;
  skipLoopbackRedirect_ = core_.GetItemValue(kItemSkipLoopbackRedirect, number) && number != 0;
  number = kDefaultRefreshMinutes;
  core_.GetItemValue(kItemRefreshInterval, number);
  core_.SetRefreshInterval(number);

  std::string text;
  if (core_.GetItemValue(ID_INGNORE_USER_AGENTS, text) && !text.empty()) {
    ignoredUserAgents_.clear();
    SplitString(text, ";", ignoredUserAgents_);
  }
  text.clear();
  if (core_.GetItemValue(ID_ADD_HEADERS, text) && !text.empty()) {
    std::vector<std::string> entries;
    SplitString(text, ";", entries);
    addHeaders_.clear();
    for (const std::string& entry : entries) addHeaders_.push_back(SplitHeaderEntry(entry));
  }
}

HRESULT CHandleCriteriaSettings::Refresh(bool* changed) {
  if (!refreshEnabled_) return kSOk;
  if (changed != nullptr) *changed = false;
  return kSOk;
}

bool CHandleCriteriaSettings::CheckUserAgent(const std::string& userAgent) {
  CSyncGuard guard(lock_);
  if (userAgent.empty() || ignoredUserAgents_.empty()) return true;
  for (const std::string& ignored : ignoredUserAgents_) {
    if (userAgent.find(ignored) != std::string::npos) {
      Log("CheckUserAgent found <%s> in <%s>", ignored.c_str(), userAgent.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace nexoral
