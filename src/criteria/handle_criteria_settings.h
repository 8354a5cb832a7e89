// CHandleCriteriaSettings: the criteria engine. It decides which criterion of ZQCriteria.xml an
// authenticated request falls under (or that its user is on the bypass list), re-reads that file
// when it changes, and owns the settings lock (the one lock around every settings read and load),
// its reading of CoreSettings.xml and the values it takes from there: the user agents to leave
// alone, whether loopback requests are redirected, and the response headers to add. The settings
// host holds the one instance.
//
// A missing ZQCriteria.xml is logged and start-up goes on without criteria: no request matches
// one until the file appears and a refresh reads it.
#ifndef NEXORAL_CRITERIA_HANDLE_CRITERIA_SETTINGS_H
#define NEXORAL_CRITERIA_HANDLE_CRITERIA_SETTINGS_H

#include <string>
#include <utility>
#include <vector>

#include <atomic>

#include "common/sync.h"
#include "criteria/criteria_settings.h"
#include "nexoral/win_types.h"
#include "platform/security_id.h"
#include "settings/core_settings.h"

namespace nexoral {

inline constexpr char kCriteriaFileName[] = "ZQCriteria.xml";
inline constexpr char kCoreSettingsFileName[] = "CoreSettings.xml";

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// A criterion a request may still fall under: its id and its entry in the criteria file, found
// once per request rather than once per test (valid while the lock is held).
struct CCandidate {
  int32_t id = 0;
  const CCriterion* criterion = nullptr;
};
using CandidateList = std::vector<CCandidate>;

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
  // The criterion of an authenticated request: true with its id when one matched. A user on
  // the bypass list gives false with bypassed set. Runs on the request thread while it
  // impersonates the user: the bypass and group tests read the thread's token. ip is the client
  // address; mailbox (an SMTP address) and sid (a string SID) may be empty.
  bool GetCriteriaID(int32_t& id, const std::string& ip, const std::string& userName,
                     const std::string& userAgent, const std::string& host,
                     const std::string& mailbox, const std::string& sid, bool& bypassed);

  // The steps of GetCriteriaID, each narrowing the candidates in place (order kept). Call
  // under Lock(). kind: 2 UPN suffix, 3 OU, 4 AD base DN.
  void MatchCriteria(CandidateList& candidates, const std::string& value, int kind) const;
  // token: the thread's SIDs; null when they could not be read (every membership test then
  // fails with the last error).
  void VerifyGroupsCriteria(CandidateList& candidates, const platform::TokenSids* token) const;
  void VerifyCDRCriteria(CandidateList& candidates, const std::string& userAgent) const;
  void VerifyHOSTCriteria(CandidateList& candidates, const std::string& host) const;

  CSync& Lock() { return lock_; }
  // The engine's reading of CoreSettings.xml; read it under Lock().
  const CCoreSettings& Core() const { return core_; }
  // Read under Lock().
  const std::vector<std::string>& IgnoredUserAgents() const { return ignoredUserAgents_; }
  bool SkipLoopbackRedirect() const { return skipLoopbackRedirect_; }
  const HeaderList& AddHeaders() const { return addHeaders_; }
  bool RefreshEnabled() const { return refreshEnabled_; }
  // The criteria file; read it under Lock().
  const CCriteriaSettings& Criteria() const { return criteria_; }

 private:
  void TakeCoreValues();
  HRESULT ReloadCriteria();
  bool CheckByPassList(const platform::TokenSids* token) const;
  // "domain\account" for the directory lookups: the user name when it has a backslash, else
  // the thread's account.
  std::string AccountName(const std::string& userName) const;

  bool refreshEnabled_ = true;
  CCritSec lock_;
  CCriteriaSettings criteria_;
  CCoreSettings core_;
  std::vector<std::string> ignoredUserAgents_;
  bool skipLoopbackRedirect_ = false;
  HeaderList addHeaders_;
  // One thread at a time examines the file; the others go on without waiting.
  std::atomic_flag checking_;
  // A change was seen while the lock was busy: the next Refresh reloads without waiting for
  // the next examination.
  bool reloadPending_ = false;
};

// The tokens of a user agent the CDR test compares: the ";" parts inside its first
// parentheses and the " " parts after them, or its " " parts when it has none.
CaseInsensitiveSet UserAgentTokens(const std::string& userAgent);
// "IUSR" or "IUSR_..." ignoring case.
bool IsAnonymousUser(const std::string& userName);

// A response header entry "name:value": the name without surrounding blanks, the value after
// one leading blank. An entry without ":" gives an empty name.
std::pair<std::string, std::string> SplitHeaderEntry(const std::string& entry);

}  // namespace nexoral

#endif  // NEXORAL_CRITERIA_HANDLE_CRITERIA_SETTINGS_H
