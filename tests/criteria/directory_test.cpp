// Directory lookups against both back ends: the same entries loaded in memory from LDIF and into
// a slapd of the test's own on a loopback port (skipped when slapd cannot start).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "criteria/ad_user_config.h"
#include "criteria/handle_criteria_settings.h"
#include "criteria_files.h"
#include "harness/diagnostics_capture.h"
#include "harness/temp_folder.h"
#include "platform/directory.h"
#include "platform/error_codes.h"

namespace nexoral {
namespace {

using testing::TempFolder;

// Alice sits in an OU, Bob directly in a container; Carol is found by her master account SID.
// Alice's legacyExchangeDN is folded over two lines.
constexpr char kEntries[] = R"(dn: dc=example,dc=test
objectClass: dcObject
objectClass: organization
dc: example
o: example

dn: ou=Sales,dc=example,dc=test
objectClass: organizationalUnit
ou: Sales

dn: cn=Users,dc=example,dc=test
objectClass: container
cn: Users

dn: cn=Alice,ou=Sales,dc=example,dc=test
objectClass: user
cn: Alice
objectCategory: person
sAMAccountName: alice
userPrincipalName: alice@example.test
proxyAddresses: SMTP:alice@example.test
proxyAddresses: x500:/o=Org/cn=alice
legacyExchangeDN: /o=Org/ou=First Administrative Group/cn=Recipie
 nts/cn=alice
objectSid:: AQUAAAAAAAUVAAAA6AMAANAHAAC4CwAA6QMAAA==
objectGUID:: AQIDBAUGBwgJCgsMDQ4PEA==
msExchQueryBaseDN: ou=Sales,dc=example,dc=test

dn: cn=Bob,cn=Users,dc=example,dc=test
objectClass: user
cn: Bob
objectCategory: person
sAMAccountName: bob
objectSid:: AQUAAAAAAAUVAAAA6AMAANAHAAC4CwAA6gMAAA==

dn: cn=Carol,ou=Sales,dc=example,dc=test
objectClass: user
cn: Carol
objectCategory: person
sAMAccountName: carol
msExchMasterAccountSid:: AQUAAAAAAAUVAAAAoA8AAIgTAABwFwAA6wMAAA==
)";

// The directory attributes with the matching rules filters need.
constexpr char kSchema[] = R"(
attributetype ( 1.3.6.1.4.1.32473.1.1 NAME 'sAMAccountName' EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )
attributetype ( 1.3.6.1.4.1.32473.1.2 NAME 'userPrincipalName' EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )
attributetype ( 1.3.6.1.4.1.32473.1.3 NAME 'proxyAddresses' EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )
attributetype ( 1.3.6.1.4.1.32473.1.4 NAME 'legacyExchangeDN' EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )
attributetype ( 1.3.6.1.4.1.32473.1.5 NAME 'msExchQueryBaseDN' EQUALITY caseIgnoreMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )
attributetype ( 1.3.6.1.4.1.32473.1.6 NAME 'objectCategory' EQUALITY caseIgnoreMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )
attributetype ( 1.3.6.1.4.1.32473.1.7 NAME 'objectSid' EQUALITY octetStringMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.40 )
attributetype ( 1.3.6.1.4.1.32473.1.8 NAME 'msExchMasterAccountSid' EQUALITY octetStringMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.40 )
attributetype ( 1.3.6.1.4.1.32473.1.9 NAME 'objectGUID' EQUALITY octetStringMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.40 )
objectclass ( 1.3.6.1.4.1.32473.2.1 NAME 'user' SUP top STRUCTURAL MUST cn MAY ( sAMAccountName $ userPrincipalName $ proxyAddresses $ legacyExchangeDN $ msExchQueryBaseDN $ objectCategory $ objectSid $ msExchMasterAccountSid $ objectGUID ) )
objectclass ( 1.3.6.1.4.1.32473.2.2 NAME 'container' SUP top STRUCTURAL MUST cn )
)";

constexpr char kBase[] = "dc=example,dc=test";
constexpr char kPassword[] = "pw-never-logged";

bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A slapd in a temporary folder, stopped and started again by the tests.
class Slapd {
 public:
  bool Start() {
    if (Pid() != 0) return true;
    if (port_ == 0) {
      folder_.WriteFile("test.schema", kSchema);
      folder_.WriteFile("entries.ldif", kEntries);
      folder_.WriteFile("password", std::string(kPassword) + "\n");
      folder_.WriteFile("slapd.conf", "include /etc/ldap/schema/core.schema\ninclude " + folder_.Join("test.schema") +
                                          "\npidfile " + folder_.Join("slapd.pid") +
                                          "\nmodulepath /usr/lib/ldap\nmoduleload back_mdb\ndatabase mdb\nsuffix \"" +
                                          kBase + "\"\nrootdn \"cn=admin," + kBase + "\"\nrootpw " + kPassword +
                                          "\ndirectory " + folder_.Join("db") + "\n");
      folder_.WriteFile("db/.keep", "");
      if (!Run("slapadd -f " + folder_.Join("slapd.conf") + " -l " + folder_.Join("entries.ldif"))) return false;
      port_ = Probe(0);
    }
    if (!Run("slapd -f " + folder_.Join("slapd.conf") + " -h ldap://127.0.0.1:" + std::to_string(port_) + "/")) {
      return false;
    }
    for (int i = 0; i < 100 && !Listening(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return Listening();
  }
  void Stop() {
    const pid_t pid = Pid();
    if (pid == 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 200 && kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    unlink(folder_.Join("slapd.pid").c_str());
  }
  std::string Config() const {
    return "uri = ldap://127.0.0.1:" + std::to_string(port_) + "\nbind_dn = cn=admin," + kBase +
           "\nbind_password_file = " + folder_.Join("password") + "\ntimeout_ms = 2000\n";
  }

 private:
  pid_t Pid() const {
    std::ifstream file(folder_.Join("slapd.pid"));
    pid_t pid = 0;
    return file >> pid ? pid : 0;
  }
  // Binds a free port (0), or connects to the server's; the port, or 0.
  int Probe(int port) const {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t size = sizeof address;
    const bool done = port == 0 ? bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                                      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0
                                : connect(fd, reinterpret_cast<sockaddr*>(&address), size) == 0;
    close(fd);
    return done ? ntohs(address.sin_port) : 0;
  }
  bool Listening() const { return Pid() != 0 && Probe(port_) != 0; }
  TempFolder folder_;
  int port_ = 0;
};

// Param: true for slapd, false for the LDIF file in memory.
class DirectoryTest : public ::testing::TestWithParam<bool> {
 protected:
  static void SetUpTestSuite() { slapd_ = new Slapd(); }
  static void TearDownTestSuite() {
    slapd_->Stop();
    delete slapd_;
  }
  void SetUp() override {
    std::string config = "ldif = entries.ldif\ndomain = EXAMPLE\n";
    folder_.WriteFile("entries.ldif", kEntries);
    if (GetParam()) {
      if (!slapd_->Start()) GTEST_SKIP() << "slapd does not start";
      config = slapd_->Config() + "domain = EXAMPLE\n";
    }
    Configure(config);
    CADUserConfig::SetRememberedMode(3);
  }
  void Configure(const std::string& config) {
    folder_.WriteFile(platform::kDirectoryConfigFileName, config + "base = " + kBase + "\n");
    ASSERT_EQ(LoadDirectoryConfiguration(folder_.Path() + "/"), kSOk);
  }
  void TearDown() override { platform::SetProcessDirectory(nullptr); }

  static HRESULT Read(int kind, const std::string& key, const std::string& attribute, std::string& text) {
    CADUserConfig lookup;
    lookup.protocol = "GC";
    lookup.SetSearchKey(key, kind);
    return lookup.ReadProperty(attribute, text);
  }

  static Slapd* slapd_;
  TempFolder folder_;
};
Slapd* DirectoryTest::slapd_ = nullptr;

TEST_P(DirectoryTest, SearchKeysFindTheirUserAndValuesReadAsText) {
  testing::LogCapture log;
  const std::string sid = "S-1-5-21-1000-2000-3000-1001";
  struct Row {
    int kind;
    std::string key, attribute, expected;  // expected empty: the lookup fails
  } rows[] = {
      {kSearchAccountName, "alice", "userPrincipalName", "alice@example.test"},
      {kSearchPrincipalName, "ALICE@example.test", "sAMAccountName", "alice"},
      {kSearchSmtpAddress, "alice@EXAMPLE.test", "sAMAccountName", "alice"},
      {kSearchX500Address, "/o=Org/cn=alice", "sAMAccountName", "alice"},
      {kSearchLegacyDn, "/o=Org/ou=First Administrative Group/cn=Recipients/cn=alice", "cn", "Alice"},
      {kSearchSid, sid, "sAMAccountName", "alice"},
      {kSearchSidOrMasterSid, "S-1-5-21-4000-5000-6000-1003", "sAMAccountName", "carol"},
      {99, "bob", "objectSid", "S-1-5-21-1000-2000-3000-1002"},
      {kSearchAccountName, "alice", "objectGUID", "{04030201-0605-0807-090A-0B0C0D0E0F10}"},
      {kSearchAccountName, "alice", "proxyAddresses", "SMTP:alice@example.test;x500:/o=Org/cn=alice"},
      {kSearchAccountName, "bob", "distinguishedName", "cn=Bob,cn=Users,dc=example,dc=test"},
      {kSearchAccountName, "bob", "msExchQueryBaseDN", ""},
      {kSearchAccountName, "nobody", "cn", ""},
      // Keys that would widen an unescaped filter to every user.
      {kSearchAccountName, "*", "cn", ""},
      {kSearchSmtpAddress, "*)(", "cn", ""},
      {kSearchSmtpAddress, "x*)(sAMAccountName=*", "cn", ""},
      {kSearchSid, "*", "cn", ""},
      // Too long for the filter buffer: the cut filter is refused, not searched.
      {kSearchAccountName, std::string(600, 'a'), "cn", ""},
  };
  for (const Row& row : rows) {
    std::string text = "stale";
    const HRESULT hr = Read(row.kind, row.key, row.attribute, text);
    EXPECT_EQ(Succeeded(hr), !row.expected.empty()) << row.key << " " << row.attribute;
    EXPECT_EQ(text, row.expected) << row.key << " " << row.attribute;
  }
  EXPECT_FALSE(log.Contains(kPassword));
}

TEST_P(DirectoryTest, AccountNamesTranslateToOuAndQueryBase) {
  struct Row {
    std::string account, ou, queryBase;  // empty: the lookup fails
    HRESULT ouResult;
  } rows[] = {
      {"EXAMPLE\\alice", "ou=Sales,dc=example,dc=test", "ou=Sales,dc=example,dc=test", kSOk},
      {"alice@example.test", "ou=Sales,dc=example,dc=test", "ou=Sales,dc=example,dc=test", kSOk},
      {"example\\bob", "", "", kEInvalidArg},  // directly in a container: no OU, no query base
      {"OTHER\\alice", "", "", HresultFromWin32(8470)},
      {"EXAMPLE\\*", "", "", HresultFromWin32(8470)},
      {"EXAMPLE\\", "", "", HresultFromWin32(8470)},
  };
  for (const Row& row : rows) {
    std::string ou = "stale", queryBase = "stale";
    EXPECT_EQ(GetOU(row.account, ou), row.ouResult) << row.account;
    EXPECT_EQ(ou, row.ou) << row.account;
    EXPECT_EQ(Succeeded(GetDN(row.account, queryBase)), !row.queryBase.empty()) << row.account;
    EXPECT_EQ(queryBase, row.queryBase) << row.account;
  }
}

// A read that fails on a stale naming context is retried in the other identity mode with the
// naming context read afresh, and that mode is remembered; the attribute is then cached.
TEST_P(DirectoryTest, FailedReadRetriesInOtherModeWithFreshNamingContext) {
  for (const int32_t configType : {0, 1, 2}) {
    CADUserConfig::SetRememberedMode(3);
    CADUserConfig lookup;
    lookup.configType = configType;
    lookup.useNamingContext = true;
    lookup.namingContext = "dc=gone,dc=test";
    lookup.SetSearchKey("alice", kSearchAccountName);
    std::string text;
    EXPECT_EQ(lookup.ReadProperty("sAMAccountName", text), kSOk) << configType;
    EXPECT_EQ(text, "alice");
    EXPECT_EQ(lookup.namingContext, kBase);
    EXPECT_EQ(CADUserConfig::RememberedMode(), configType == 1 ? 0 : 1);
    platform::SetProcessDirectory(nullptr);
    EXPECT_EQ(lookup.ReadProperty("sAMAccountName", text), kSOk);
    EXPECT_EQ(text, "alice");
    ASSERT_EQ(LoadDirectoryConfiguration(folder_.Path() + "/"), kSOk);
  }
}

// GetCriteriaID decides UPN-suffix, OU and query-base criteria by what the directory holds for
// the user. Each address range holds the criteria of one test, then comes a catch-all (2). The
// thread runs as Carol, the account of a user name without a domain.
TEST_P(DirectoryTest, DirectoryCriteriaDecidedByLookups) {
  using testing::Criteria;
  using testing::Item;
  const auto criterion = [](const char* id, int last, int type, int item, const std::string& value) {
    const std::string range = "10.0." + std::to_string(last) + ".0;10.0." + std::to_string(last) + ".255";
    return Criteria(id, Item(1, range) + Item(7, "1") + Item(8, std::to_string(type)) + Item(item, value));
  };
  folder_.WriteFile(kCoreSettingsFileName, "<SETTINGS/>");
  folder_.WriteFile(kCriteriaFileName, "<SETTINGS>" + criterion("11", 1, 1, 2, "other.test") +
                                           criterion("12", 1, 1, 2, "EXAMPLE.test") +
                                           criterion("21", 2, 2, 3, "OU=Sales,DC=example,DC=test") +
                                           criterion("31", 3, 0, 4, "OU=SALES,dc=example,dc=test") +
                                           Criteria("2", "") + "</SETTINGS>");
  CHandleCriteriaSettings engine;
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(engine.LoadSettings(folder_.Path() + "/"), kSOk);
  ::testing::internal::GetCapturedStderr();
  testing::Impersonation carol(platform::TokenIdentity{"carol", "EXAMPLE", "S-1-5-21-4000-5000-6000-1003", {}});
  struct Row {
    std::string ip, user, mailbox, sid;
    int32_t id;
  } rows[] = {
      {"10.0.1.1", "alice", "", "", 12},  // the UPN found by account name, mailbox or SID
      {"10.0.1.1", "nobody", "ALICE@example.test", "", 12},
      {"10.0.1.1", "nobody", "", "S-1-5-21-1000-2000-3000-1001", 12},
      {"10.0.1.1", "alice", "bob@example.test", "", 2},  // the mailbox before the account name
      {"10.0.1.1", "alice", "", "S-1-5-21-4000-5000-6000-1003", 2},  // Carol: no UPN
      {"10.0.2.1", "EXAMPLE\\alice", "", "", 21},
      {"10.0.2.1", "EXAMPLE\\bob", "", "", 2},  // no OU
      {"10.0.2.1", "bob", "", "", 21},  // the thread's account
      {"10.0.3.1", "EXAMPLE\\alice", "", "", 31},
      {"10.0.3.1", "EXAMPLE\\carol", "", "", 2},  // no query base
  };
  for (const Row& row : rows) {
    int32_t id = -1;
    bool bypassed = false;
    const bool matched = engine.GetCriteriaID(id, row.ip, row.user, "x", "h", row.mailbox, row.sid, bypassed);
    EXPECT_TRUE(matched && id == row.id && !bypassed) << row.ip << " " << row.user << " " << row.mailbox
                                                      << " " << row.sid << ": " << id;
  }
}

// A server that stops, or that takes connections and never answers, fails lookups cleanly and
// within its time limits (the bound only guards against hanging); once it is back, the next
// lookup reconnects, also on a thread whose connection broke without a failed lookup between.
class ServerDirectoryTest : public DirectoryTest {};
TEST_P(ServerDirectoryTest, UnavailableServerFailsCleanlyThenRecovers) {
  std::string text;
  ASSERT_EQ(Read(kSearchAccountName, "alice", "cn", text), kSOk);
  for (const char* outage : {"stopped", "restart only", "silent"}) {
    const bool silent = std::string(outage) == "silent";
    int listener = -1;
    if (silent) {
      listener = socket(AF_INET, SOCK_STREAM, 0);  // listens, never accepts nor reads
      sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
      socklen_t size = sizeof address;
      ASSERT_TRUE(bind(listener, reinterpret_cast<sockaddr*>(&address), size) == 0 && listen(listener, 4) == 0 &&
                  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) == 0);
      Configure("uri = ldap://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/\ntimeout_ms = 300\n");
    } else {
      slapd_->Stop();
    }
    if (outage != std::string("restart only")) {
      const auto start = std::chrono::steady_clock::now();
      EXPECT_TRUE(Failed(Read(kSearchAccountName, "alice", "cn", text))) << outage;
      EXPECT_EQ(text, "");
      std::string ou;
      EXPECT_TRUE(Failed(GetOU("EXAMPLE\\alice", ou))) << outage;
      const int limit = platform::ProcessDirectory()->Config().timeoutMs;
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20 * limit)) << outage;
    }
    if (silent) {  // a request waiting for the server holds up no request that needs no lookup
      folder_.WriteFile(kCoreSettingsFileName, "<SETTINGS/>");
      folder_.WriteFile(kCriteriaFileName, "<SETTINGS>" + testing::Criteria("1", testing::Item(7, "1") +
                                           testing::Item(8, "1") + testing::Item(2, "x.test")) + "</SETTINGS>");
      CHandleCriteriaSettings engine;
      ::testing::internal::CaptureStderr();
      ASSERT_EQ(engine.LoadSettings(folder_.Path() + "/"), kSOk);
      ::testing::internal::GetCapturedStderr();
      int32_t ids[2] = {};
      bool bypassed[2] = {};
      std::atomic<bool> waited{false};
      std::thread waiting(
          [&] { waited = !engine.GetCriteriaID(ids[0], "10.0.0.1", "alice", "x", "h", "", "", bypassed[0]); });
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_TRUE(engine.GetCriteriaID(ids[1], "10.0.0.1", "", "x", "h", "", "", bypassed[1]) && ids[1] == 1 && !waited);
      waiting.join();
      EXPECT_TRUE(waited);  // the failed lookup removed the criterion
    }
    if (listener >= 0) close(listener);
    ASSERT_TRUE(slapd_->Start());
    if (silent) Configure(slapd_->Config() + "domain = EXAMPLE\n");
    EXPECT_EQ(Read(kSearchAccountName, "alice", "cn", text), kSOk) << outage;
    EXPECT_EQ(text, "Alice");
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, DirectoryTest, ::testing::Values(false, true),
                         [](const auto& backend) { return backend.param ? "Slapd" : "Ldif"; });
INSTANTIATE_TEST_SUITE_P(Slapd, ServerDirectoryTest, ::testing::Values(true));

TEST(DirectoryConfigTest, BadFilesLeaveNoDirectoryAndTheDemoOneLoads) {
  TempFolder folder;
  for (const char* text : {"ldif = x.ldif\nuri = ldap://h/\n", "ldif = x.ldif\ncolour = red\n",
                                  "uri = ldap://h/\ntimeout_ms = 0\n", "timeout_ms = 10\n",
                                  "ldif = missing.ldif\n", "uri = http://h/\n"}) {
    folder.WriteFile(platform::kDirectoryConfigFileName, text);
    EXPECT_EQ(LoadDirectoryConfiguration(folder.Path() + "/"), kEFail) << text;
    EXPECT_EQ(platform::ProcessDirectory(), nullptr) << text;
  }
  EXPECT_EQ(LoadDirectoryConfiguration(NEXORAL_DEMO_FOLDER), kSOk);
  std::string ou;
  EXPECT_EQ(GetOU("DEMO\\demo", ou), kSOk);
  EXPECT_EQ(GetOU("DEMO\\bob", ou), kEInvalidArg);
  platform::SetProcessDirectory(nullptr);
}

}  // namespace
}  // namespace nexoral
