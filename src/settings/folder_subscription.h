// CheckFolderSubscription: tests a request against a list of URL folder rules (the core
// exclusions, or one service worker's exclusions or subscriptions).
//
// A rule's folder matches at its first occurrence in the URL when it starts the URL or follows
// "/" or "\", and, when at least two characters follow it, is followed by "/", "\" or "?".
// Then its infos are tried in order; the first that matches decides. An info matches:
//   - with extensions and a request extension: when the extension is one of them (ignoring
//     case), whatever else the info says;
//   - otherwise, with a sub-folder: when the sub-folder occurs after the folder with the same
//     boundaries;
//   - otherwise, with parameters: when every one has a non-empty value in the request.
// A rule none of whose infos matched still matches when it is "folder only". Every rule is
// tried: a later match overwrites MatchedBy.
#ifndef NEXORAL_SETTINGS_FOLDER_SUBSCRIPTION_H
#define NEXORAL_SETTINGS_FOLDER_SUBSCRIPTION_H

#include <map>
#include <string>

#include "common/subscription_match.h"
#include "settings/settings_records.h"

namespace nexoral {

// Sets match.MatchedBy and match.Subscribed for each matching rule; leaves the other fields
// and a record nothing matched as they were. True when any rule matched.
bool CheckFolderSubscription(const std::string& url, const std::string& extension,
                             SubscriptionMatch& match, const FolderRuleList& rules,
                             const std::map<std::string, std::string>& parameters);

}  // namespace nexoral

#endif  // NEXORAL_SETTINGS_FOLDER_SUBSCRIPTION_H
