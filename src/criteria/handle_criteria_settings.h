// CHandleCriteriaSettings: the criteria engine. It decides which criterion of ZQCriteria.xml an
// authenticated request falls under (or that its user is on the bypass list), re-reads that file
// when it changes, and owns the settings lock (the one lock around every settings read and load),
// its reading of CoreSettings.xml and the values it takes from there: the user agents to leave
// alone, whether loopback requests are redirected, and the response headers to add. The settings
// host holds the one instance.
//
// The criteria file's tables are published as a snapshot: each load builds new tables and
// replaces the published pointer only when it succeeded. A request takes the snapshot once,
// without a lock, and matches against it to its end, directory lookups included, so a slow
// directory holds up only the requests that wait for it.
//
// A missing ZQCriteria.xml is logged and start-up goes on without criteria: no request matches
// one until the file appears and a refresh reads it.
#ifndef NEXORAL_CRITERIA_HANDLE_CRITERIA_SETTINGS_H
#define NEXORAL_CRITERIA_HANDLE_CRITERIA_SETTINGS_H

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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
// once per request rather than once per test (valid while the snapshot it came from is held).
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
  // Re-reads the criteria file when it changed; *changed tells whether it had. One thread at a
  // time examines the file; a reload that finds the lock busy is done by the next call.
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

  // The steps of GetCriteriaID, each narrowing the candidates in place (order kept); the caller
  // holds the snapshot the candidates point into. kind: 2 UPN suffix, 3 OU, 4 AD base DN.
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
  // The criteria file's tables as now published; they stay as they are while held.
  std::shared_ptr<const CCriteriaSettings> Criteria() const {
    return criteria_.load(std::memory_order_acquire);
  }

 private:
  void TakeCoreValues();
  HRESULT ReloadCriteria();
  // The file at path in new tables that carry over the current ones' settings; null (hr says
  // why) when the load failed.
  std::shared_ptr<CCriteriaSettings> LoadCriteria(const std::string& path, HRESULT& hr) const;
  // Under the lock, by the one thread that examines the file.
  void Publish(std::shared_ptr<CCriteriaSettings> next);
  static bool CheckByPassList(const std::vector<CSharedSid>& list,
                              const platform::TokenSids* token);
  // "domain\account" for the directory lookups: the user name when it has a backslash, else
  // the thread's account.
  std::string AccountName(const std::string& userName) const;

  bool refreshEnabled_ = true;
  CCritSec lock_;
  // The published tables, and the same object for the one thread that examines the file (its
  // check moves the last-check time, which no request reads).
  std::shared_ptr<CCriteriaSettings> loaded_ = std::make_shared<CCriteriaSettings>();
  std::atomic<std::shared_ptr<const CCriteriaSettings>> criteria_{loaded_};
  CCoreSettings core_;
  std::vector<std::string> ignoredUserAgents_;
  bool skipLoopbackRedirect_ = false;
  HeaderList addHeaders_;
  // One thread at a time examines the file; the others go on without waiting. A load of the
  // settings waits for it.
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
