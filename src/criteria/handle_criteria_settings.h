// CHandleCriteriaSettings: the criteria engine's hold on the settings. It owns the settings lock
// (the one lock around every settings read and load), its reading of CoreSettings.xml and the
// values it takes from there: the user agents to leave alone, whether loopback requests are
// redirected, and the response headers to add. The settings host holds the one instance.
//
// This version knows the criteria file only by name: a missing ZQCriteria.xml is logged and
// start-up goes on, and a present one is not read yet, so no request is matched to a criterion
// and Refresh never finds a change.
#ifndef NEXORAL_CRITERIA_HANDLE_CRITERIA_SETTINGS_H
#define NEXORAL_CRITERIA_HANDLE_CRITERIA_SETTINGS_H

#include <string>
#include <utility>
#include <vector>

#include "common/sync.h"
#include "nexoral/win_types.h"
#include "settings/core_settings.h"

namespace nexoral {

inline constexpr char kCriteriaFileName[] = "ZQCriteria.xml";
inline constexpr char kCoreSettingsFileName[] = "CoreSettings.xml";

using HeaderList = std::vector<std::pair<std::string, std::string>>;

class CHandleCriteriaSettings {
 public:
  CHandleCriteriaSettings() = default;
  CHandleCriteriaSettings(const CHandleCriteriaSettings&) = delete;
  CHandleCriteriaSettings& operator=(const CHandleCriteriaSettings&) = delete;
  virtual ~CHandleCriteriaSettings() = default;

  // Loads the criteria file and then CoreSettings.xml from folder (ending with "/"), under the
  // lock, and takes the engine's values from the core file.
  HRESULT LoadSettings(const std::string& folder);
  // Re-reads the criteria file when it changed; *changed tells whether it had.
  HRESULT Refresh(bool* changed);
  // False when the user agent contains one of the ignored user agents.
  bool CheckUserAgent(const std::string& userAgent);

  CSync& Lock() { return lock_; }
  // The engine's reading of CoreSettings.xml; read it under Lock().
  const CCoreSettings& Core() const { return core_; }
  // Read under Lock().
  const std::vector<std::string>& IgnoredUserAgents() const { return ignoredUserAgents_; }
  bool SkipLoopbackRedirect() const { return skipLoopbackRedirect_; }
  const HeaderList& AddHeaders() const { return addHeaders_; }
  bool RefreshEnabled() const { return refreshEnabled_; }

 private:
  HRESULT LoadCriteriaFile(const std::string& path);
  void TakeCoreValues();

  bool refreshEnabled_ = true;
  CCritSec lock_;
  CCoreSettings core_;
  std::vector<std::string> ignoredUserAgents_;
  bool skipLoopbackRedirect_ = false;
  HeaderList addHeaders_;
};

// A response header entry "name:value": the name without surrounding blanks, the value after
// one leading blank. An entry without ":" gives an empty name.
std::pair<std::string, std::string> SplitHeaderEntry(const std::string& entry);

}  // namespace nexoral

#endif  // NEXORAL_CRITERIA_HANDLE_CRITERIA_SETTINGS_H
