// URL folder rules against requests: boundaries, infos, folder-only rules and rule order.
#include <gtest/gtest.h>

#include "harness/diagnostics_capture.h"
#include "settings/folder_subscription.h"

namespace nexoral {
namespace {

using Parameters = std::map<std::string, std::string>;

FolderRule Rule(const std::string& folder, bool folderOnly, int32_t type,
                std::vector<FolderRuleInfo> infos = {}) {
  return FolderRule{type, folderOnly, folder, std::move(infos)};
}

FolderRuleInfo Info(int32_t type, std::vector<std::string> params, std::string subFolder,
                    std::vector<std::string> extensions) {
  return FolderRuleInfo{type, std::move(subFolder), std::move(params), std::move(extensions)};
}

// Runs the check on a fresh record; MatchedBy is 0 when nothing matched.
struct Outcome {
  bool result;
  DWORD matchedBy;
  DWORD subscribed;
};
Outcome Check(const std::string& url, const FolderRuleList& rules, const std::string& ext = "",
              const Parameters& parameters = {}) {
  SubscriptionMatch match;
  match.ServiceWorkerId = 77;
  const bool result = CheckFolderSubscription(url, ext, match, rules, parameters);
  EXPECT_EQ(match.ServiceWorkerId, 77u);
  return {result, match.MatchedBy, match.Subscribed};
}

TEST(FolderSubscription, FolderBoundaries) {
  const FolderRuleList rules = {Rule("owa", true, 5)};
  EXPECT_TRUE(Check("/owa/", rules).result);
  EXPECT_TRUE(Check("/owa/inbox/x.aspx", rules).result);
  EXPECT_TRUE(Check("owa/", rules).result);
  EXPECT_TRUE(Check("\\owa\\x", rules).result);
  EXPECT_TRUE(Check("/owa?ae=Item", rules).result);
  EXPECT_FALSE(Check("/owax/", rules).result);
  EXPECT_FALSE(Check("/xowa/", rules).result);
  // At the end, or with one character after it, there is no right boundary to test.
  EXPECT_TRUE(Check("/owa", rules).result);
  EXPECT_TRUE(Check("/owa?", rules).result);
  EXPECT_TRUE(Check("/owax", rules).result);
  // Only the first occurrence counts, and folders are compared with case.
  EXPECT_FALSE(Check("/xowa/owa/", rules).result);
  EXPECT_FALSE(Check("/OWA/", rules).result);
  EXPECT_FALSE(Check("", rules).result);
}

TEST(FolderSubscription, FolderOnlyDecidesWhenNoInfoMatched) {
  const Outcome folderOnly = Check("/owa/", {Rule("owa", true, 5)});
  EXPECT_TRUE(folderOnly.result);
  EXPECT_EQ(folderOnly.matchedBy, 5u);
  EXPECT_EQ(folderOnly.subscribed, 1u);
  const Outcome neither = Check("/owa/", {Rule("owa", false, 5)});
  EXPECT_FALSE(neither.result);
  EXPECT_EQ(neither.matchedBy, 0u);
  EXPECT_EQ(neither.subscribed, 0u);
}

TEST(FolderSubscription, ExtensionsDecideWheneverTheRequestHasOne) {
  const FolderRuleList rules = {Rule("owa", false, 5, {Info(6, {}, "", {"js", "css"})})};
  const Outcome js = Check("/owa/scripts/a.JS", rules, "JS");
  EXPECT_TRUE(js.result);
  EXPECT_EQ(js.matchedBy, 6u);
  EXPECT_FALSE(Check("/owa/a.jsx", rules, "jsx").result);
  EXPECT_FALSE(Check("/owa/a", rules, "").result);
  // With an extension, a matching parameter list does not help...
  const FolderRuleList withParams = {
      Rule("owa", false, 5, {Info(6, {"ae"}, "", {"js"})})};
  EXPECT_FALSE(Check("/owa/a.htm", withParams, "htm", {{"ae", "Item"}}).result);
  // ...but without one the parameters decide.
  EXPECT_TRUE(Check("/owa/", withParams, "", {{"ae", "Item"}}).result);
}

TEST(FolderSubscription, ParametersMustAllBePresentWithValues) {
  const FolderRuleList rules = {Rule("owa", false, 5, {Info(6, {"ae", "t"}, "", {})})};
  EXPECT_TRUE(Check("/owa/", rules, "", {{"ae", "Item"}, {"t", "IPM.Note"}, {"x", ""}}).result);
  EXPECT_FALSE(Check("/owa/", rules, "", {{"ae", "Item"}}).result);
  EXPECT_FALSE(Check("/owa/", rules, "", {{"ae", "Item"}, {"t", ""}}).result);
  EXPECT_FALSE(Check("/owa/", rules, "", {}).result);
  EXPECT_FALSE(Check("/owa/", rules, "", {{"AE", "Item"}, {"T", "x"}}).result);
}

TEST(FolderSubscription, ASubFolderDecidesInsteadOfTheParameters) {
  const FolderRuleList rules = {Rule("owa", false, 5, {Info(6, {"ae"}, "calendar", {})})};
  EXPECT_TRUE(Check("/owa/calendar/", rules).result);
  EXPECT_TRUE(Check("/owa/x/calendar?v=1", rules).result);
  EXPECT_TRUE(Check("/owa/calendar", rules).result);
  EXPECT_FALSE(Check("/owa/calendars/", rules, "", {{"ae", "Item"}}).result);
  EXPECT_FALSE(Check("/owa/mycalendar/", rules).result);
  // Only after the folder: a sub-folder before it does not count.
  EXPECT_FALSE(Check("/calendar/owa/", rules).result);
  // An empty folder at the start of the URL leaves no room before the sub-folder.
  EXPECT_FALSE(Check("calendar/", {Rule("", false, 5, {Info(6, {}, "calendar", {})})}).result);
}

TEST(FolderSubscription, FirstMatchingInfoDecidesWithinARule) {
  const FolderRuleList rules = {Rule(
      "owa", true, 5,
      {Info(6, {"missing"}, "", {}), Info(7, {}, "", {"js"}), Info(8, {}, "", {"js"})})};
  const Outcome outcome = Check("/owa/a.js", rules, "js");
  EXPECT_EQ(outcome.matchedBy, 7u);
  const Outcome fallback = Check("/owa/a.gif", rules, "gif");
  EXPECT_EQ(fallback.matchedBy, 5u);  // folder only
}

TEST(FolderSubscription, EveryRuleIsTriedAndTheLaterMatchWins) {
  const FolderRuleList rules = {Rule("owa", true, 5), Rule("nope", true, 6),
                                Rule("inbox", true, 9)};
  const Outcome outcome = Check("/owa/inbox/", rules);
  EXPECT_TRUE(outcome.result);
  EXPECT_EQ(outcome.matchedBy, 9u);
  EXPECT_EQ(Check("/owa/other/", rules).matchedBy, 5u);
}

TEST(FolderSubscription, AMatchedFolderIsLogged) {
  testing::LogCapture log;
  Check("/owa/x", {Rule("owa", false, 5)});
  Check("/other/x", {Rule("owa", false, 5)});
  EXPECT_EQ(log.Count("CheckFolderSubscription URL /owa/x found owa "), 1u);
  EXPECT_EQ(log.Count("CheckFolderSubscription URL"), 1u);
}

}  // namespace
}  // namespace nexoral
