// Loading and refreshing the criteria engine's settings, and the matching of a request to a
// criterion.
#include "criteria/handle_criteria_settings.h"

#include <algorithm>
#include <thread>

#include "criteria/ad_user_config.h"
#include "criteria/security_access.h"
#include "diagnostics/event_log.h"
#include "diagnostics/log.h"
#include "nexoral/filter_interface.h"
#include "platform/ascii_text.h"
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
  // The examining thread reads the current tables' file state without the lock: let it finish.
  while (checking_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  struct Release {
    std::atomic_flag& flag;
    ~Release() { flag.clear(std::memory_order_release); }
  } release{checking_};
  const std::string criteriaPath = folder + kCriteriaFileName;
  HRESULT hr = kSOk;
  std::shared_ptr<CCriteriaSettings> next = LoadCriteria(criteriaPath, hr);
  if (next) Publish(std::move(next));
  if (hr == kSettingsFileNotFound) {
    // Without the file no criterion applies; a refresh reads it once it is there.
    Log("CHandleCriteriaSettings::LoadSettings no criteria file %s, no criterion applies",
        criteriaPath.c_str());
  } else if (Failed(hr)) {
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
  // The examination touches the file's dates: one thread at a time, and none waits for it.
  if (checking_.test_and_set(std::memory_order_acquire)) return kSOk;
  bool fileChanged = false;
  HRESULT hr = loaded_->CheckForRefresh(fileChanged);
  if (Failed(hr)) {
    Log("CHandleCriteriaSettings::Refresh CheckForRefresh failed 0x%x", static_cast<unsigned>(hr));
  }
  if (fileChanged || reloadPending_) {
    if (lock_.TryLock() == 0) {
      Log("CHandleCriteriaSettings::Refresh was necessary but Critical Section was locked and "
          "skipped Refresh");
      reloadPending_ = true;
    } else {
      reloadPending_ = false;
      fileChanged = true;
      hr = ReloadCriteria();
      lock_.Unlock();
    }
  }
  checking_.clear(std::memory_order_release);
  if (Failed(hr)) {
    Log("CHandleCriteriaSettings::Refresh CriteriaSettings failed to Refresh the settings 0x%x",
        static_cast<unsigned>(hr));
  }
  if (changed != nullptr) *changed = fileChanged;
  return hr;
}

// Under the lock. A failed load keeps the tables and the file date, so the file is examined
// and loaded again after the next interval. Requests go on with the tables they hold.
HRESULT CHandleCriteriaSettings::ReloadCriteria() {
  const std::string path = loaded_->FileName();
  HRESULT hr = kSOk;
  std::shared_ptr<CCriteriaSettings> next = LoadCriteria(path, hr);
  if (!next) {
    Log("Refresh failed to load %s HR= 0x%x", path.c_str(), static_cast<unsigned>(hr));
    return hr;
  }
  Publish(std::move(next));
  return hr;
}

std::shared_ptr<CCriteriaSettings> CHandleCriteriaSettings::LoadCriteria(const std::string& path,
                                                                         HRESULT& hr) const {
  auto next = std::make_shared<CCriteriaSettings>();
  next->CarryOver(*loaded_);
  next->dropDisabled = true;
  hr = next->Load(path);
  if (Failed(hr)) return nullptr;
  int32_t minutes = 0;
  if (next->GetGeneralInt(CRITERIA_REFRESH_INTERVAL, minutes)) next->SetRefreshInterval(minutes);
  return next;
}

void CHandleCriteriaSettings::Publish(std::shared_ptr<CCriteriaSettings> next) {
  loaded_ = next;
  criteria_.store(std::move(next), std::memory_order_release);
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

bool IsAnonymousUser(const std::string& userName) {
  return platform::EqualsIgnoreCase(userName, "IUSR") ||
         (userName.size() >= 6 && platform::StartsWithIgnoreCase(userName, "IUSR_"));
}

bool CHandleCriteriaSettings::GetCriteriaID(int32_t& id, const std::string& ip,
                                            const std::string& userName,
                                            const std::string& userAgent,
                                            const std::string& host, const std::string& mailbox,
                                            const std::string& sid, bool& bypassed) {
  // Every step reads this one version of the tables, which stays alive to the end of the call.
  const std::shared_ptr<const CCriteriaSettings> snapshot =
      criteria_.load(std::memory_order_acquire);
  const CCriteriaSettings& criteria = *snapshot;
  id = 0;
  CandidateList candidates;
  const bool anonymous = IsAnonymousUser(userName);
  if (anonymous) {
    Log("CHandleCriteriaSettings::GetCriteriaID found an anonymous access user %s all OU, "
        "ByPass, Group, and DN are skipped",
        userName.c_str());
  }
  const bool allowUserCheck = !userName.empty() && !anonymous;
  int32_t enableRsa = 0;
  criteria.GetGeneralInt(ENABLE_RSA, enableRsa);
  Log("GetCriteriaID IP %s, UserName %s, Host %s, UserAgent %s EnableRSA %d AllowUserCheck %d "
      "Mailbox %s, SID %s",
      ip.c_str(), userName.c_str(), host.c_str(), userAgent.c_str(), enableRsa,
      allowUserCheck ? 1 : 0, mailbox.c_str(), sid.c_str());

  const uint32_t kinds = criteria.KindsMask();
  // The thread's SIDs, read once for the bypass and group tests.
  platform::TokenSids tokenSids;
  const platform::TokenSids* token = nullptr;
  if (allowUserCheck && (!criteria.BypassList().empty() || (kinds & GROUP_CRITERIA) != 0) &&
      tokenSids.Read(nullptr)) {
    token = &tokenSids;
  }
  if (allowUserCheck && CheckByPassList(criteria.BypassList(), token)) {
    bypassed = true;
    return false;
  }

  CIPAddress address;
  const bool addressRead = ParseIPAddress(ip, address);
  candidates.reserve(criteria.CriteriaOrder().size());
  const std::vector<int32_t>& order = criteria.CriteriaOrder();
  for (size_t at = 0; at < order.size(); ++at) {
    const int32_t candidate = order[at];
    const CCriterion* criterion = criteria.OrderedCriteria()[at];
    if (criterion == nullptr) continue;
    bool joins = criterion->ipRanges.empty();
    for (size_t i = 0; !joins && addressRead && i < criterion->ipRanges.size(); ++i) {
      joins = IsAddressInRange(address, criterion->ipRanges[i]);
    }
    if (joins) candidates.push_back({candidate, criterion});
  }

  if (allowUserCheck && (kinds & GROUP_CRITERIA) != 0) {
    Log("GetCriteriaID Group");
    VerifyGroupsCriteria(candidates, token);
  }
  if ((kinds & CDR_CRITERIA) != 0) VerifyCDRCriteria(candidates, userAgent);
  if ((kinds & HOST_CRITERIA) != 0) VerifyHOSTCriteria(candidates, host);

  if (allowUserCheck && (kinds & CRITERIA_UPN) != 0) {
    CADUserConfig lookup;
    lookup.protocol = "GC";
    criteria.GetGeneralInt(AD_LOOKUP_OPTION, lookup.configType);
    if (!mailbox.empty()) {
      lookup.SetSearchKey(mailbox, kSearchSmtpAddress);
    } else if (!sid.empty()) {
      lookup.SetSearchKey(sid, kSearchSidOrMasterSid);
    } else {
      lookup.SetSearchKey(userName, kSearchAccountName);
    }
    std::string upn;
    const HRESULT hr = lookup.ReadProperty("userPrincipalName", upn);
    const size_t at = upn.find('@');
    const std::string suffix = at == std::string::npos ? std::string() : upn.substr(at + 1);
    LogError(static_cast<DWORD>(hr), "GetCriteriaID UPN %s, user %s, sufix %s", upn.c_str(),
             userName.c_str(), suffix.c_str());
    MatchCriteria(candidates, suffix, 2);
  }
  Log("GetCriteriaID after CRITERIA_UPN vector %d", static_cast<int>(candidates.size()));

  std::string account;
  if (allowUserCheck && (kinds & OU_CRITERIA) != 0) {
    account = AccountName(userName);
    std::string ou;
    if (Failed(GetOU(account, ou))) ou.clear();
    Log("GetCriteriaID OU %s", ou.c_str());
    MatchCriteria(candidates, ou, 3);
  }
  Log("GetCriteriaID after OU_CRITERIA vector %d", static_cast<int>(candidates.size()));

  if (allowUserCheck && (kinds & AD_CRITERIA) != 0) {
    if (account.empty()) account = AccountName(userName);
    std::string baseDn;
    const HRESULT hr = GetDN(account, baseDn);
    if (Failed(hr)) {
      Log("GetCriteriaID can not get msExchQueryBaseDN HR = 0x%x", static_cast<unsigned>(hr));
      baseDn.clear();
    }
    MatchCriteria(candidates, baseDn, 4);
  }
  Log("GetCriteriaID after AD_CRITERIA vector %d", static_cast<int>(candidates.size()));

  if (candidates.empty()) {
    Log("GetCriteria No matching found for IP %s User %s", ip.c_str(), userName.c_str());
    return false;
  }
  id = candidates.front().id;
  Log("GetCriteria matching found ID %d for IP %s User %s", id, ip.c_str(), userName.c_str());
  return true;
}

std::string CHandleCriteriaSettings::AccountName(const std::string& userName) const {
  if (userName.find('\\') != std::string::npos) return userName;
  std::string account;
  const DWORD error = GetThreadUser(account);
  if (error != kErrorSuccess) {
    Log("GetCriteria can not read GetThreadUser error %d", static_cast<int>(error));
    return userName;
  }
  return account;
}

bool CHandleCriteriaSettings::CheckByPassList(const std::vector<CSharedSid>& list,
                                              const platform::TokenSids* token) {
  Log("CheckByPassList ");
  if (list.empty()) return false;
  bool member = false;
  for (size_t i = 0; !member && i < list.size(); ++i) {
    if (token != nullptr) {
      member = token->Contains(*list[i]);
    } else {
      const DWORD error = GetLastError();
      ReportText(kReportError, "Check user membership to Group security error %d for criteria ",
                 static_cast<int>(error));
      Log("CheckByPassList  CheckTokeMembership failed error %d for Criteria",
          static_cast<int>(error));
      member = false;
    }
  }
  if (member) {
    Log("CheckByPassList found a match user is excluded from DG");
  } else {
    Log("CheckByPassList didn't find a match user is allow to DG");
  }
  return member;
}

void CHandleCriteriaSettings::MatchCriteria(CandidateList& candidates,
                                            const std::string& value, int kind) const {
  Log("MatchCriteria value %s  ID %d", value.c_str(), kind);
  if (candidates.empty()) {
    Log("MatchCriteria vector with matching criteria is empty so no need to match anything");
    return;
  }
  std::erase_if(candidates, [&](const CCandidate& entry) {
    const int32_t candidate = entry.id;
    const CCriterion* criterion = entry.criterion;
    if (criterion == nullptr) return false;
    int32_t enabled = 0;
    if (!CCriteriaSettings::GetCriterionInt(ASP_ENABLE, enabled, *criterion)) {
      Log("MatchCriteria can not find ASP_ENABLE for criteria %d", candidate);
      enabled = 0;
    }
    if (enabled == 0) return false;
    int32_t type = -1;
    if (!CCriteriaSettings::GetCriterionInt(ASP_TYPE, type, *criterion)) {
      Log("MatchCriteria can not find ASP_TYPE for criteria %d", candidate);
      type = -1;
    }
    const auto inSet = [&](const CaseInsensitiveSet& set, const char* what) {
      if (set.empty()) return true;
      if (set.find(value) == set.end()) return false;
      Log("MatchCriteria %s %s", what, value.c_str());
      return true;
    };
    if (type == kUserTestUpn && kind == 2) return !inSet(criterion->upnSuffixes, "UPN");
    if (type == kUserTestOu && kind == 3) return !inSet(criterion->ouNames, "OU");
    if (type == kUserTestAd && kind == 4) {
      std::string baseDn;
      if (!CCriteriaSettings::GetCriterionString(AD_BASE_DN, baseDn, *criterion)) return false;
      if (!platform::EqualsIgnoreCase(baseDn, value)) return true;
      Log("MatchCriteria AD %s", value.c_str());
    }
    return false;
  });
}

void CHandleCriteriaSettings::VerifyGroupsCriteria(CandidateList& candidates,
                                                   const platform::TokenSids* token) const {
  Log("VerifyGroupsCriteria ");
  if (candidates.empty()) {
    Log("VerifyGroupCriteria vector with matching criteria is empty so no need to match anything");
    return;
  }
  std::erase_if(candidates, [&](const CCandidate& entry) {
    const int32_t candidate = entry.id;
    const CCriterion* criterion = entry.criterion;
    if (criterion == nullptr) return false;
    if (!criterion->groupUsers) {
      Log("VerifyGroupsCriteria can not find ENABLE_GROUP_USERS for criteria %d", candidate);
    }
    const int32_t enabled = criterion->groupUsers.value_or(0);
    if (enabled != 1 || criterion->groupSids.empty()) return false;
    bool member = false;
    for (size_t i = 0; !member && i < criterion->groupSids.size(); ++i) {
      if (token != nullptr) {
        member = token->Contains(*criterion->groupSids[i]);
      } else {
        const DWORD error = GetLastError();
        ReportText(kReportError, "Check user membership to Group security error %d for criteria %d %s",
                   static_cast<int>(error), candidate, criterion->name.c_str());
        Log("VerifyGroupCriteria  CheckTokeMembership failed error %d for Criteria %d %s",
            static_cast<int>(error), candidate, criterion->name.c_str());
        member = false;
      }
    }
    if (member) Log("VerifyGroupCriteria found a match");
    return !member;
  });
}

CaseInsensitiveSet UserAgentTokens(const std::string& userAgent) {
  CaseInsensitiveSet tokens;
  const auto add = [&tokens](const std::string& text, const char* separator) {
    std::vector<std::string> pieces;
    if (!SplitString(text, separator, pieces)) return false;
    for (const std::string& piece : pieces) {
      const size_t start = piece.find_first_not_of(' ');
      if (start != std::string::npos) tokens.insert(piece.substr(start));
    }
    return true;
  };
  const size_t open = userAgent.find('(');
  if (open == std::string::npos) {
    Log("VerifyCDRCriteria UserAgent doesn't contain () it can be Media Player");
    if (!add(userAgent, " ")) Log("VerifyCDRCriteria invalid UserAgent no info in strings");
    return tokens;
  }
  size_t close = userAgent.find(')', open);
  if (close == std::string::npos) {
    Log("VerifyCDRCriteria invalid UserAgent no )");
    return tokens;
  }
  if (close + 1 != userAgent.size()) {
    // A part in parentheses inside the first ones (IE) or a ")" not followed by a blank (FF).
    const size_t closeBlank = userAgent.find(") ", open);
    if (closeBlank == std::string::npos) {
      close = userAgent.rfind(')');
      Log(" VerifyCDRCriteria got a () entry in User Agent IE at %d", static_cast<int>(close));
    } else if (closeBlank != close) {
      close = closeBlank;
      Log(" VerifyCDRCriteria got a () entry in User Agent FF at %d", static_cast<int>(close));
    }
  }
  if (!add(userAgent.substr(open + 1, close - open - 1), ";")) {
    Log("VerifyCDRCriteria invalid UserAgent no info in ()");
  }
  if (!add(userAgent.substr(close + 1), " ")) Log("VerifyCDRCriteria invalid UserAgent no info in ()");
  return tokens;
}

void CHandleCriteriaSettings::VerifyCDRCriteria(CandidateList& candidates,
                                                const std::string& userAgent) const {
  Log("VerifyCDRCriteria UserAgent %s ", userAgent.c_str());
  const CaseInsensitiveSet tokens = UserAgentTokens(userAgent);
  if (candidates.empty() || tokens.empty()) {
    Log("VerifyCDRCriteria vector with matching criteria is empty so no need to match anything");
    return;
  }
  std::erase_if(candidates, [&](const CCandidate& entry) {
    const CCriterion* criterion = entry.criterion;
    if (criterion == nullptr || criterion->cdrValues.empty()) return false;
    const std::string* first = nullptr;
    int matches = 0;
    for (const std::string& token : tokens) {
      if (criterion->cdrValues.count(token) == 0) continue;
      if (first == nullptr) first = &token;
      ++matches;
    }
    if (first == nullptr) return true;
    Log("VerifyCDRCriteria CDR match value %s Math numbers %d", first->c_str(), matches);
    return false;
  });
}

void CHandleCriteriaSettings::VerifyHOSTCriteria(CandidateList& candidates,
                                                 const std::string& host) const {
  Log("VerifyHOSTCriteria HOST %s ", host.c_str());
  if (candidates.empty()) {
    Log("VerifyHOSTCriteria vector with matching criteria is empty so no need to match anything");
    return;
  }
  std::erase_if(candidates, [&](const CCandidate& entry) {
    const CCriterion* criterion = entry.criterion;
    if (criterion == nullptr || criterion->hostNames.empty()) return false;
    return criterion->hostNames.count(host) == 0;
  });
}

}  // namespace nexoral
