// The criteria engine: SIDs and token membership, the token helpers, client addresses and
// ranges, the criteria file's tables, user-agent tokens, the matching of requests and the
// refresh of the file.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "criteria/criteria_settings.h"
#include "criteria/handle_criteria_settings.h"
#include "criteria/security_access.h"
#include "criteria_files.h"
#include "harness/diagnostics_capture.h"
#include "harness/temp_folder.h"
#include "nexoral/filter_interface.h"
#include "platform/error_codes.h"
#include "platform/security_id.h"
#include "platform/thread_token.h"

namespace nexoral {
namespace {

using platform::TokenIdentity;
using testing::Criteria;
using testing::Impersonation;
using testing::Item;

const TokenIdentity kAlice{"alice", "DEMO", "S-1-5-21-1-2-3-1001", {"s-1-5-21-1-2-3-01100"}};

// Text form (canonical or refused) and membership in kAlice's token: the account counts, a
// group counts whatever the case and leading zeros of either text.
TEST(SecurityIds, TextFormAndMembership) {
  const std::vector<std::tuple<std::string, std::string, bool>> rows = {
      {"S-1-5-32-544", "S-1-5-32-544", false}, {"S-1-5-21-1-2-3-1100", "S-1-5-21-1-2-3-1100", true},
      {"s-1-5-21-1-2-3-1001", "S-1-5-21-1-2-3-1001", true}, {"S-1-0x1F-7", "S-1-31-7", false},
      {"S-1-0x123456789ABC-1", "S-1-0x123456789ABC-1", false}, {"S-1-5-4294967295", "S-1-5-4294967295", false},
      {"S-1-5-4294967296", "", false}, {"S-2-5-32", "", false}, {"S-1-5", "", false},
      {"S-1-5-", "", false}, {"S-1-5--3", "", false}, {"S-1-5-3x", "", false}, {"", "", false},
      {"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15", "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15", false},
      {"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16", "", false}, {"BA", "", false},
  };
  const HANDLE token = platform::CreateAccessToken(kAlice);
  for (const auto& [text, canonical, member] : rows) {
    platform::SecurityId sid;
    SetLastError(0);
    ASSERT_EQ(platform::ConvertStringSidToSid(text, &sid), !canonical.empty()) << text;
    if (canonical.empty()) {
      EXPECT_EQ(GetLastError(), platform::kErrorInvalidSid) << text;
      continue;
    }
    EXPECT_EQ(platform::ConvertSidToStringSid(sid), canonical);
    bool isMember = !member;
    EXPECT_TRUE(platform::CheckTokenMembership(token, sid, &isMember) && isMember == member) << text;
    // A null token is the thread's: its impersonation token, else the process identity.
    Impersonation asAlice(kAlice);
    EXPECT_TRUE(platform::CheckTokenMembership(nullptr, sid, &isMember) && isMember == member) << text;
  }
  platform::CloseAccessToken(token);
  bool isMember = false;
  platform::SecurityId sid;
  platform::ConvertStringSidToSid(kAlice.sid, &sid);
  EXPECT_TRUE(platform::CheckTokenMembership(nullptr, sid, &isMember) && !isMember);
  EXPECT_FALSE(platform::CheckTokenMembership(token, sid, &isMember));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

// GetThreadUser and the revert guard leave the thread as they found it, impersonating or not.
TEST(SecurityHelpers, ThreadUserAndRevertGuard) {
  const std::vector<std::tuple<std::optional<TokenIdentity>, DWORD, std::string>> rows = {
      {kAlice, 0, "DEMO\\alice"}, {std::nullopt, kErrorNoToken, "kept"},
      {TokenIdentity{"", "DEMO", "S-1-5-7", {}}, kErrorNoneMapped, "kept"},
      {TokenIdentity{std::string(256, 'u'), "D", "x", {}}, kErrorInsufficientNameBuffer, "kept"},
  };
  const size_t handles = platform::OpenTokenHandleCount();
  for (const auto& [identity, error, account] : rows) {
    Impersonation thread(identity);
    std::string read = "kept";
    EXPECT_EQ(GetThreadUser(read), error);
    EXPECT_EQ(read, account);
    EXPECT_EQ(platform::ThreadImpersonates(), identity.has_value());
    {
      CRevertToSelf guard;
      EXPECT_FALSE(platform::ThreadImpersonates());
      EXPECT_EQ(guard.Saved(), identity.has_value());
      guard.Restore();
      EXPECT_EQ(platform::ThreadImpersonates(), identity.has_value());
    }
    EXPECT_EQ(platform::EffectiveIdentity().user, identity ? identity->user : platform::ProcessIdentity().user);
    if (identity) {
      std::string user, domain, sid = "kept";
      CSecurityAccess().GetTokenUser(thread.token_, user, domain, sid);
      EXPECT_EQ(sid, identity->sid.size() > 1 ? identity->sid : "kept");
    }
  }
  EXPECT_EQ(platform::OpenTokenHandleCount(), handles);
}

// An address against a range: numbers compared group by group, one family only.
TEST(Addresses, RangesHoldWhatLiesBetweenTheirEnds) {
  const std::vector<std::tuple<std::string, std::string, std::string, bool>> rows = {
      {"10.0.0.7", "10.0.0.5", "10.0.0.9", true}, {"10.0.1.1", "10.0.0.5", "10.0.1.2", true},
      {"10.0.0.4", "10.0.0.5", "10.0.1.2", false}, {"10.0.1.3", "10.0.0.5", "10.0.1.2", false},
      {"10.0.0.5", "10.0.0.5", "10.0.0.5", true}, {"9.255.255.255", "10.0.0.0", "10.255.255.255", false},
      {"200.0.0.1", "10.0.0.0", "192.0.0.0", false}, {"10.0.0.7", "10.0.0.9", "10.0.0.5", false},
      {"fe80::1", "::1", "::1", false}, {"::1", "::1", "::1", true},
      {"fe80::1%eth0", "fe80::", "fe80::ffff", true}, {"FE80:0:0:0:0:0:0:2", "fe80::", "fe80::ffff", true},
      {"2001:db8::1:0", "2001:db8::", "2001:db8::ffff", false}, {"::ffff:10.0.0.7", "10.0.0.5", "10.0.0.9", true},
      {"::ffff:10.0.0.7", "::", "::1:0:0:0", false}, {"10.0.0.7", "::", "ffff::", false},
      {"bogus", "0.0.0.0", "255.255.255.255", false}, {"10.0.0.256", "0.0.0.0", "255.255.255.255", false},
      {"10.0.7", "0.0.0.0", "255.255.255.255", false}, {"", "::", "::", false},
      {std::string("10.0.0.7\0x", 10), "0.0.0.0", "255.255.255.255", false},
  };
  for (const auto& [text, first, last, inside] : rows) {
    CIPAddress address;
    CIPRange range;
    ASSERT_TRUE(ParseIPAddress(first, range.first) && ParseIPAddress(last, range.last)) << first;
    const bool read = ParseIPAddress(text, address);
    EXPECT_EQ(read && IsAddressInRange(address, range), inside) << text << " in " << first << "-" << last;
  }
}

// The tables on one line: the file order, each criterion with its item count and derived sets,
// the number of general items and bypass SIDs, and the mask.
std::string Dump(const CCriteriaSettings& settings) {
  std::ostringstream out;
  out << "order";
  for (int32_t id : settings.CriteriaOrder()) out << " " << id;
  const auto set = [&](const char* name, const CaseInsensitiveSet& values) {
    if (values.empty()) return;
    out << " " << name;
    for (const std::string& value : values) out << "[" << value << "]";
  };
  for (const auto& [id, criterion] : settings.Criteria()) {
    out << " | " << id << ":" << criterion->name << " items" << criterion->items.size() << " ranges"
        << criterion->ipRanges.size() << " sids" << criterion->groupSids.size();
    set("upn", criterion->upnSuffixes);
    set("cdr", criterion->cdrValues);
    set("host", criterion->hostNames);
  }
  out << " | general" << settings.General().size() << " bypass" << settings.BypassList().size()
      << " mask" << std::hex << settings.KindsMask();
  return out.str();
}

const std::string kGeneral =
    "<GENERALSETTINGS><ITEM ID='48' DESCR='' VALUE='S-1-5-32-544;bogus'/>"
    "<ITEM ID='49' DESCR='' VALUE='S-1-5-32-545'/></GENERALSETTINGS>";

// Each file is loaded over what the one before left (nullopt: no file); the mask keeps bits.
TEST(CriteriaFile, TablesOfSuccessiveFiles) {
  const std::string sids = Item(10, "S-1-5-32-544") + Item(11, "S-1-5-32-545");
  const std::vector<std::tuple<std::optional<std::string>, HRESULT, std::string>> rows = {
      {kGeneral + Criteria("3", Item(13, "x")) + Criteria("4", Item(6, "0") + Item(14, "h")) +
           Criteria("3", Item(14, "h") + Item(13, "y")) + Criteria("5", Item(6, "1")),
       kSOk, "order 3 3 5 | 3:c3 items2 ranges0 sids0 cdr[y] host[h] | 5:c5 items1 ranges0 sids0 | general2 bypass2 mask60"},
      {Criteria("1", Item(1, "10.0.0.1;10.0.0.9;192.168.1.5") + Item(2, "a.com;;b.com") +
                         Item(7, "1") + Item(8, "1")) +
           Criteria("2", sids + Item(12, "0")) + Criteria("6", sids + Item(12, "1")) +
           Criteria("9", Item(6, "abc")) + Criteria("7", Item(1, "10.0.0.1;;10.0.0.2;10.0.0.3")) +
           Criteria("8", Item(1, ";10.0.0.1;bogus;10.0.0.2;10.0.0.3;10.0.0.4")) + "<CRITERIA VALUE='x'>" +
           Item(13, "lost") + "</CRITERIA>",
       kSOk, "order 1 2 6 7 8 | 1:c1 items4 ranges1 sids0 upn[a.com] | 2:c2 items3 ranges0 sids0 | "
             "6:c6 items3 ranges0 sids2 | 7:c7 items1 ranges0 sids0 | 8:c8 items1 ranges1 sids0 | general0 bypass0 mask73"},
      {kGeneral, kSOk, "order | general2 bypass0 mask73"},
      {kGeneral + "<CRITERIA ID='1'>", platform::kXmlParseFailed, "order | general2 bypass0 mask73"},
      {std::nullopt, kSettingsFileNotFound, "order | general2 bypass0 mask73"},
  };
  testing::TempFolder folder;
  const std::string path = folder.Join(kCriteriaFileName);
  CCriteriaSettings settings;
  settings.dropDisabled = true;
  for (const auto& [body, result, dump] : rows) {
    if (body) folder.WriteFile(kCriteriaFileName, "<SETTINGS>" + *body + "</SETTINGS>");
    if (!body) unlink(path.c_str());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(settings.Load(path), result) << dump;
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(Dump(settings), dump);
  }
}

TEST(CriteriaFile, DemoFileLoads) {
  CCriteriaSettings settings;
  settings.dropDisabled = true;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(settings.Load(NEXORAL_DEMO_CRITERIA), kSOk);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(Dump(settings),
            "order 30 40 10 20 50 | 10:Branch office items1 ranges1 sids0 | 20:IPv6 site items1 ranges2 sids0 | "
            "30:Old browsers items1 ranges0 sids0 cdr[MSIE 6.0][MSIE 7.0] | 40:Mail host name items1 ranges0 "
            "sids0 host[mail.example.com][mail.example.com:8080] | 50:Domain users items2 ranges0 sids1 | "
            "general3 bypass1 mask71");
}

TEST(CriteriaMatching, UserAgentTokens) {
  using Tokens = std::vector<std::string>;
  const std::vector<std::pair<std::string, Tokens>> rows = {
      {"Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1)", {"compatible", "MSIE 7.0", "Windows NT 5.1"}},
      {"Windows-Media-Player/11.0.5721.5145", {"Windows-Media-Player/11.0.5721.5145"}},
      {"NSPlayer/9.0  WMFSDK/9.0", {"NSPlayer/9.0"}},
      {"Mozilla/5.0 (X11; U) Gecko/2006 Firefox/2.0", {"Firefox/2.0", "Gecko/2006", "U", "X11"}},
      {"Mozilla/4.0 (compatible; MSIE 8.0; (R1 1.6))", {"(R1 1.6)", "compatible", "MSIE 8.0"}},
      {"A (b)c (d) e", {"b)c (d", "e"}}, {"Mozilla (x", {}}, {"", {}},
  };
  for (const auto& [userAgent, tokens] : rows) {
    const CaseInsensitiveSet set = UserAgentTokens(userAgent);
    EXPECT_EQ(Tokens(set.begin(), set.end()), tokens) << userAgent;
  }
}

// The criteria of the matching tests, in file order. The directory lookups fail (no directory),
// so a UPN, OU or AD test with a non-empty condition removes its criterion.
const std::string kMatchingFile =
    "<GENERALSETTINGS><ITEM ID='48' DESCR='' VALUE='S-1-5-21-9-9-9-500'/>"
    "<ITEM ID='81' DESCR='' VALUE='0'/></GENERALSETTINGS>" +
    Criteria("5", Item(1, "10.0.0.5;10.0.1.2;fd00::1;fd00::ff")) +
    Criteria("7", Item(12, "1") + Item(10, "S-1-5-21-1-2-3-1100")) + Criteria("8", Item(13, "msie 7.0")) +
    Criteria("9", Item(14, "mail.example.com")) +
    Criteria("3", Item(7, "1") + Item(8, "1") + Item(2, "example.com")) +
    Criteria("10", Item(7, "1") + Item(8, "2") + Item(3, "OU=Sales,DC=example,DC=com")) +
    Criteria("11", Item(7, "1") + Item(8, "0") + Item(4, "CN=Base")) +
    Criteria("12", Item(1, "172.20.0.0;172.20.255.255") + Item(7, "0") + Item(8, "1") + Item(2, "example.com")) +
    Criteria("13", Item(1, "172.21.0.0;172.21.255.255") + Item(7, "1") + Item(8, "2") + Item(2, "example.com")) +
    Criteria("4", Item(1, "192.168.0.0;192.168.255.255") + Item(7, "1") + Item(8, "1") + Item(2, "")) +
    Criteria("2", "");

class CriteriaEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.WriteFile(kCoreSettingsFileName, "<SETTINGS/>");
    Write("<SETTINGS>" + kMatchingFile + "</SETTINGS>", 0);
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(engine_.LoadSettings(folder_.Path() + "/"), kSOk);
    ::testing::internal::GetCapturedStderr();
  }
  // Replaces the criteria file at once (written beside it, dated seconds from now, renamed).
  void Write(const std::string& content, int seconds) {
    folder_.WriteFile("next.xml", content);
    const timeval times[2] = {{time(nullptr) + seconds, 0}, {time(nullptr) + seconds, 0}};
    utimes(folder_.Join("next.xml").c_str(), times);
    rename(folder_.Join("next.xml").c_str(), folder_.Join(kCriteriaFileName).c_str());
  }

  testing::TempFolder folder_;
  CHandleCriteriaSettings engine_;
};

// Address, user, user agent, host and token groups of a request against kMatchingFile: the
// criterion id (0: none, -1: bypassed). Anonymous and nameless users skip the group test.
TEST_F(CriteriaEngine, RequestsMatchTheFirstCriterionInFileOrder) {
  using Groups = std::optional<std::vector<std::string>>;
  const Groups none = std::vector<std::string>();
  const auto in = [](const char* sid) { return Groups(std::vector<std::string>{sid}); };
  const std::vector<std::tuple<std::string, std::string, std::string, std::string, Groups, int>> rows = {
      {"10.0.1.1", "alice", "x", "h", none, 5}, {"10.0.1.3", "alice", "x", "h", none, 2},
      {"fd00::80", "alice", "x", "h", none, 5}, {"fe80::1", "alice", "x", "h", none, 2},
      {"::ffff:10.0.0.7", "alice", "x", "h", std::nullopt, 5},
      {"172.16.0.1", "alice", "x", "h", in("S-1-5-21-1-2-3-1100"), 7},
      {"172.16.0.1", "IUSR_WEB01", "x", "h", none, 7}, {"172.16.0.1", "iusr", "x", "h", std::nullopt, 7},
      {"172.16.0.1", "", "x", "h", none, 7}, {"172.16.0.1", "IUSR_", "x", "h", none, 2},
      {"172.16.0.1", "alice", "Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1)", "h", none, 8},
      {"172.16.0.1", "alice", "x", "MAIL.example.com", none, 9},
      {"172.16.0.1", "alice", "x", "mail.example.com:443", none, 2},
      {"172.20.0.1", "alice", "x", "h", none, 12}, {"172.21.0.1", "alice", "x", "h", none, 13},
      {"192.168.1.1", "alice", "x", "h", none, 4},
      {"10.0.0.7", "alice", "x", "h", in("S-1-5-21-9-9-9-500"), -1},
      {"172.16.0.1", "IUSR", "x", "h", in("S-1-5-21-9-9-9-500"), 7}, {"bogus", "alice", "x", "h", none, 2},
  };
  for (const auto& [ip, user, userAgent, host, groups, expected] : rows) {
    std::optional<TokenIdentity> identity;
    if (groups) identity = TokenIdentity{"alice", "DEMO", "S-1-5-21-1-2-3-1001", *groups};
    Impersonation thread(identity);
    int32_t id = -7;
    bool bypassed = false;
    const bool matched = engine_.GetCriteriaID(id, ip, user, userAgent, host, "", "", bypassed);
    EXPECT_EQ(matched ? id : bypassed ? -1 : 0, expected) << ip << " " << user << " " << userAgent << " " << host;
    EXPECT_TRUE(matched || id == 0);
  }
}

// A change seen while the lock is busy is loaded by the next Refresh; a file without criteria
// matches nothing and bypasses nobody.
TEST_F(CriteriaEngine, RefreshSkippedForABusyLockIsRetried) {
  Write("<SETTINGS><GENERALSETTINGS><ITEM ID='81' DESCR='' VALUE='0'/>"
        "<ITEM ID='48' DESCR='' VALUE='S-1-5-21-1-2-3-1001'/></GENERALSETTINGS></SETTINGS>", 10);
  testing::LogCapture log;
  ::testing::internal::CaptureStderr();
  bool changed = false;
  engine_.Lock().Lock();
  EXPECT_EQ(engine_.Refresh(&changed), kSOk);
  engine_.Lock().Unlock();
  EXPECT_EQ(log.Count("was necessary but Critical Section was locked"), 1u);
  EXPECT_EQ(engine_.Criteria()->CriteriaOrder().size(), 11u);
  EXPECT_TRUE(engine_.Refresh(&changed) == kSOk && changed);
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(engine_.Criteria()->CriteriaOrder().empty());
  Impersonation thread(kAlice);
  int32_t id = -7;
  bool bypassed = false;
  EXPECT_FALSE(engine_.GetCriteriaID(id, "10.0.0.7", "alice", "x", "h", "", "", bypassed));
  EXPECT_TRUE(id == 0 && !bypassed);
}

// Requests on eight threads while the file changes under them: each gets the matching criterion
// of the file before or after a change (never none, never an older file's after a newer one's),
// and each change is loaded once. File v holds the criteria 100v+1 to 100v+4; only the last
// holds the request's address, so a request that read one file's order and another's criteria
// would match none.
TEST_F(CriteriaEngine, ChangedFileLoadsOnceWhileRequestsRun) {
  constexpr int kChanges = 20, kThreads = 8;
  const auto publish = [this](int v) {
    std::string file = "<SETTINGS><GENERALSETTINGS><ITEM ID='81' DESCR='' VALUE='0'/></GENERALSETTINGS>";
    for (int i = 1; i <= 4; ++i) {
      file += Criteria(std::to_string(100 * v + i), Item(1, i == 4 ? "10.9.0.0;10.9.255.255" : "10.8.0.0;10.8.0.9") +
                                                        Item(14, "h"));
    }
    Write(file + "</SETTINGS>", v);
    for (int tries = 0; tries < 5000; ++tries) {  // a busy lock skips a reload: retried
      const FileTime before = engine_.Criteria()->FileDate();
      bool changed = false;
      engine_.Refresh(&changed);
      if (engine_.Criteria()->FileDate() != before) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (int again = 0; again < 3; ++again) {
      bool changed = true;
      EXPECT_TRUE(engine_.Refresh(&changed) == kSOk && !changed) << v;
    }
  };
  publish(1);
  std::atomic<bool> stop{false};
  std::vector<int> calls(kThreads), wrong(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int32_t last = 0; !stop.load();) {
        int32_t id = 0;
        bool bypassed = false;
        const bool matched = engine_.GetCriteriaID(id, "10.9.0.1", "", "x", "h", "", "", bypassed);
        wrong[t] += !matched || id % 100 != 4 || id < last || id / 100 > kChanges;
        last = id;
        ++calls[t];
      }
    });
  }
  for (int v = 2; v <= kChanges; ++v) {
    publish(v);
    int32_t id = 0;
    bool bypassed = false;
    EXPECT_TRUE(engine_.GetCriteriaID(id, "10.9.0.1", "", "x", "h", "", "", bypassed) && id == 100 * v + 4);
  }
  stop = true;
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(calls[t] > 0 && wrong[t] == 0) << t << " " << wrong[t];
}

}  // namespace
}  // namespace nexoral
