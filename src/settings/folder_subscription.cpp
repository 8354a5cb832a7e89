// URL folder rules against one request.
#include "settings/folder_subscription.h"

#include <strings.h>

#include "diagnostics/log.h"

namespace nexoral {
namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The character after a name found at [at, at + length) ends it: nothing or one character
// follows, or a separator or "?" follows.
bool EndsAtBoundary(const std::string& url, size_t at, size_t length) {
  const size_t after = at + length;
  if (after + 1 >= url.size()) return true;
  return IsSeparator(url[after]) || url[after] == '?';
}

// Where the rule's folder occurs within its boundaries, or npos.
size_t FindFolder(const std::string& url, const std::string& folder) {
  const size_t at = url.find(folder);
  if (at == std::string::npos) return at;
  if (at > 0 && !IsSeparator(url[at - 1])) return std::string::npos;
  if (!EndsAtBoundary(url, at, folder.size())) return std::string::npos;
  return at;
}

bool HasEveryParameter(const FolderRuleInfo& info,
                       const std::map<std::string, std::string>& parameters) {
  for (const std::string& name : info.Params) {
    auto found = parameters.find(name);
    if (found == parameters.end() || found->second.empty()) return false;
  }
  return true;
}

bool HasSubFolder(const std::string& url, size_t searchFrom, const std::string& subFolder) {
  const size_t at = url.find(subFolder, searchFrom);
  if (at == std::string::npos || at == 0 || !IsSeparator(url[at - 1])) return false;
  return EndsAtBoundary(url, at, subFolder.size());
}

bool IsOneOf(const std::string& extension, const std::vector<std::string>& extensions) {
  for (const std::string& candidate : extensions) {
    if (candidate.size() == extension.size() &&
        strncasecmp(candidate.c_str(), extension.c_str(), candidate.size()) == 0) {
      return true;
    }
  }
  return false;
}

bool InfoMatches(const FolderRuleInfo& info, const std::string& url, size_t afterFolder,
                 const std::string& extension,
                 const std::map<std::string, std::string>& parameters) {
  bool flag = !info.Params.empty() && HasEveryParameter(info, parameters);
  if (!info.SubFolder.empty()) flag = HasSubFolder(url, afterFolder, info.SubFolder);
  if (!info.Extensions.empty() && !extension.empty()) return IsOneOf(extension, info.Extensions);
  return flag;
}

}  // namespace

bool CheckFolderSubscription(const std::string& url, const std::string& extension,
                             SubscriptionMatch& match, const FolderRuleList& rules,
                             const std::map<std::string, std::string>& parameters) {
  bool matched = false;
  for (const FolderRule& rule : rules) {
    const size_t at = FindFolder(url, rule.Folder);
    if (at == std::string::npos) continue;
    Log("CheckFolderSubscription URL %s found %s ", url.c_str(), rule.Folder.c_str());
    bool infoMatched = false;
    for (const FolderRuleInfo& info : rule.Infos) {
      if (!InfoMatches(info, url, at + rule.Folder.size(), extension, parameters)) continue;
      match.MatchedBy = static_cast<DWORD>(info.Type);
      match.Subscribed = 1;
      infoMatched = true;
      break;
    }
    if (!infoMatched && rule.FolderOnly) {
      match.MatchedBy = static_cast<DWORD>(rule.Type);
      match.Subscribed = 1;
      infoMatched = true;
    }
    matched = matched || infoMatched;
  }
  return matched;
}

}  // namespace nexoral
