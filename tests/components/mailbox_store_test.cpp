// The mailbox property store: values per mailbox and key, all-or-nothing writes, files that are
// not stores, and another process holding the store.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "exchange_access_interface.h"
#include "harness/temp_folder.h"
#include "mailbox_identity.h"
#include "mailbox_store.h"
#include "platform/thread_token.h"
#include "store_location.h"

namespace nexoral::mailbox {
namespace {

using std::chrono::milliseconds;
using Values = std::vector<std::optional<std::string>>;

constexpr char kSet[] = "00020329-0000-0000-C000-000000000046";
constexpr char kOtherSet[] = "A1B2C3D4-0000-0000-C000-000000000046";

// Runs SQL on the file with a connection of its own, as another program would.
void RunSql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  const int code = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  const std::string text = message != nullptr ? message : "";
  sqlite3_free(message);
  sqlite3_close(db);
  ASSERT_EQ(code, SQLITE_OK) << text;
}

class MailboxStoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<MailboxStore> OpenStore(milliseconds timeout = milliseconds(2000)) {
    StoreError error;
    auto store = MailboxStore::Open(path_, timeout, &error);
    EXPECT_NE(store, nullptr) << error.text;
    return store;
  }
  Values Read(MailboxStore& store, const std::string& mailbox,
              const std::vector<PropertyKey>& keys) {
    Values values;
    StoreError error;
    EXPECT_TRUE(store.Read(mailbox, keys, &values, &error)) << error.text;
    return values;
  }

  testing::TempFolder folder_;
  const std::string path_ = folder_.Join("data/properties.db");
};

TEST_F(MailboxStoreTest, ValuesComeBackInRequestOrderPerMailboxAndFullKey) {
  auto store = OpenStore();
  ASSERT_NE(store, nullptr);
  StoreError error;
  ASSERT_TRUE(store->Write("contoso\\bob",
                           {{{kSet, 1, 31}, "blue"}, {{kSet, 2, 3}, "42"},
                            {{kOtherSet, 1, 31}, "other set"}, {{kSet, 1, 3}, "other type"},
                            {{kSet, 3, 31}, ""}, {{kSet, 4, 31}, "quote ' and <tag> and é"}},
                           &error))
      << error.text;
  ASSERT_TRUE(store->Write("contoso\\alice", {{{kSet, 1, 31}, "alice's"}}, &error));
  ASSERT_TRUE(store->Write("contoso\\bob", {{{kSet, 1, 31}, "green"}}, &error));  // replaces

  EXPECT_EQ(Read(*store, "contoso\\bob",
                 {{kSet, 4, 31}, {kSet, 9, 31}, {kSet, 1, 31}, {kOtherSet, 1, 31}, {kSet, 1, 3},
                  {kSet, 3, 31}, {kSet, 2, 3}}),
            (Values{"quote ' and <tag> and é", std::nullopt, "green", "other set", "other type", "",
                    "42"}));
  EXPECT_EQ(Read(*store, "contoso\\alice", {{kSet, 1, 31}, {kSet, 2, 3}}),
            (Values{"alice's", std::nullopt}));
  EXPECT_EQ(Read(*store, "nobody", {{kSet, 1, 31}}), (Values{std::nullopt}));

  store.reset();  // a new connection sees what was committed
  store = OpenStore();
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(Read(*store, "contoso\\bob", {{kSet, 1, 31}}), (Values{"green"}));
}

TEST_F(MailboxStoreTest, AWriteThatFailsMidwayStoresNothing) {
  auto store = OpenStore();
  ASSERT_NE(store, nullptr);
  StoreError error;
  ASSERT_TRUE(store->Write("bob", {{{kSet, 1, 31}, "before"}}, &error));
  // A rule in the file refuses one value: the rows before it are already written when it fires.
  RunSql(path_,
         "CREATE TRIGGER refuse BEFORE INSERT ON property_values WHEN NEW.value = 'refused' "
         "BEGIN SELECT RAISE(ABORT, 'value refused'); END");
  EXPECT_FALSE(store->Write("bob",
                            {{{kSet, 1, 31}, "after"}, {{kSet, 2, 31}, "new"},
                             {{kSet, 3, 31}, "refused"}, {{kSet, 4, 31}, "late"}},
                            &error));
  EXPECT_NE(error.text.find("value refused"), std::string::npos) << error.text;
  EXPECT_NE(error.text.find(path_), std::string::npos) << error.text;
  EXPECT_EQ(Read(*store, "bob", {{kSet, 1, 31}, {kSet, 2, 31}, {kSet, 3, 31}, {kSet, 4, 31}}),
            (Values{"before", std::nullopt, std::nullopt, std::nullopt}));
  // The connection is usable afterwards.
  EXPECT_TRUE(store->Write("bob", {{{kSet, 2, 31}, "new"}}, &error)) << error.text;
}

TEST_F(MailboxStoreTest, AFileThatIsNotAStoreIsRefusedAndLeftAsItWas) {
  const std::string content = "these are somebody's notes, not a database\n";
  folder_.WriteFile("data/properties.db", content);
  StoreError error;
  EXPECT_EQ(MailboxStore::Open(path_, milliseconds(100), &error), nullptr);
  EXPECT_EQ(error.number & 0xFF, SQLITE_NOTADB);
  EXPECT_NE(error.text.find("is not a store or is damaged"), std::string::npos) << error.text;
  EXPECT_EQ(testing::ReadWholeFile(path_), content);
}

TEST_F(MailboxStoreTest, AStoreOfALaterFormatIsRefusedAndLeftAsItWas) {
  folder_.WriteFile("data/keep", "");
  RunSql(path_, "CREATE TABLE future (x); PRAGMA user_version = 7");
  StoreError error;
  EXPECT_EQ(MailboxStore::Open(path_, milliseconds(100), &error), nullptr);
  EXPECT_EQ(error.number, kAccessErrorStoreFormat);
  EXPECT_NE(error.text.find("has format 7"), std::string::npos) << error.text;
}

TEST_F(MailboxStoreTest, APathThatCannotBeMadeIsAClearError) {
  folder_.WriteFile("plain-file", "x");
  StoreError error;
  EXPECT_EQ(MailboxStore::Open(folder_.Join("plain-file/sub/properties.db"), milliseconds(100),
                               &error),
            nullptr);
  EXPECT_EQ(error.number, SQLITE_CANTOPEN);
  EXPECT_NE(error.text.find("cannot create the folder of the mailbox store"), std::string::npos);
  EXPECT_EQ(MailboxStore::Open(folder_.Path(), milliseconds(100), &error), nullptr);  // a folder
  EXPECT_NE(error.text.find(folder_.Path()), std::string::npos) << error.text;
}

TEST_F(MailboxStoreTest, AStoreHeldByAnotherProcessPastTheTimeoutFailsWritesButNotReads) {
  {
    auto store = OpenStore();
    ASSERT_NE(store, nullptr);
    StoreError error;
    ASSERT_TRUE(store->Write("bob", {{{kSet, 1, 31}, "kept"}}, &error));
  }
  int held[2];
  int release[2];
  ASSERT_EQ(pipe(held), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path_.c_str(), &db) != SQLITE_OK) _exit(1);
    if (sqlite3_exec(db, "BEGIN IMMEDIATE; UPDATE property_values SET value = 'uncommitted'",
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
      _exit(2);
    }
    char signal = 'h';
    if (write(held[1], &signal, 1) != 1) _exit(3);
    if (read(release[0], &signal, 1) != 1) _exit(4);
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    _exit(0);
  }
  char signal = 0;
  ASSERT_EQ(read(held[0], &signal, 1), 1);

  auto store = OpenStore(milliseconds(200));
  ASSERT_NE(store, nullptr);
  StoreError error;
  EXPECT_FALSE(store->Write("bob", {{{kSet, 1, 31}, "lost?"}, {{kSet, 2, 31}, "x"}}, &error));
  EXPECT_EQ(error.number & 0xFF, SQLITE_BUSY);
  EXPECT_NE(error.text.find("is locked by another process (waited 200 ms)"), std::string::npos)
      << error.text;
  EXPECT_EQ(Read(*store, "bob", {{kSet, 1, 31}}), (Values{"kept"}));

  ASSERT_EQ(write(release[1], &signal, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(store->Write("bob", {{{kSet, 2, 31}, "x"}}, &error)) << error.text;
  EXPECT_EQ(Read(*store, "bob", {{kSet, 1, 31}, {kSet, 2, 31}}), (Values{"kept", "x"}));
  for (int descriptor : {held[0], held[1], release[0], release[1]}) close(descriptor);
}

TEST(MailboxIdentityTest, TheExplicitMailboxWinsOverTheThreadUser) {
  HANDLE token = platform::CreateAccessToken({"Bob", "CONTOSO", "S-1-5-21-7", {}});
  ASSERT_TRUE(platform::SetThreadToken(token));
  EXPECT_EQ(ResolveMailbox("  Shared.Box@Contoso.COM "), "shared.box@contoso.com");
  EXPECT_EQ(ResolveMailbox(""), "contoso\\bob");
  EXPECT_EQ(ResolveMailbox(" \t"), "contoso\\bob");
  platform::RevertToSelf();
  platform::CloseAccessToken(token);
  EXPECT_EQ(ResolveMailbox(""), std::nullopt);  // the process itself has no mailbox here
  token = platform::CreateAccessToken({"carol", "", "S-1-5-21-8", {}});
  ASSERT_TRUE(platform::SetThreadToken(token));
  EXPECT_EQ(ResolveMailbox(""), "carol");
  platform::RevertToSelf();
  platform::CloseAccessToken(token);
}

TEST(MailboxIdentityTest, PropertySetGuidsAreCanonicalOrRefused) {
  EXPECT_EQ(CanonicalPropertySet("{00020329-0000-0000-c000-000000000046}"), kSet);
  EXPECT_EQ(CanonicalPropertySet("00020329-0000-0000-C000-000000000046"), kSet);
  for (const char* bad : {"", "{}", "00020329-0000-0000-C000-00000000004", "00020329-0000-0000-C000-0000000000467",
                          "00020329_0000-0000-C000-000000000046", "0002032G-0000-0000-C000-000000000046",
                          "{00020329-0000-0000-C000-000000000046", "'); DROP TABLE x; --"}) {
    EXPECT_EQ(CanonicalPropertySet(bad), std::nullopt) << bad;
  }
}

TEST(StoreLocationTest, TheEnvironmentChoosesPathAndWaitWithSafeDefaults) {
  unsetenv(kStorePathVariable);
  unsetenv(kStoreTimeoutVariable);
  EXPECT_EQ(StorePath(), kDefaultStorePath);
  EXPECT_EQ(StoreBusyTimeout(), kDefaultBusyTimeout);
  setenv(kStorePathVariable, "/srv/props.db", 1);
  setenv(kStoreTimeoutVariable, "250", 1);
  EXPECT_EQ(StorePath(), "/srv/props.db");
  EXPECT_EQ(StoreBusyTimeout(), milliseconds(250));
  for (const char* bad : {"", "-1", "12ms", "600001", "99999999999999999999"}) {
    setenv(kStoreTimeoutVariable, bad, 1);
    EXPECT_EQ(StoreBusyTimeout(), kDefaultBusyTimeout) << bad;
  }
  unsetenv(kStorePathVariable);
  unsetenv(kStoreTimeoutVariable);
}

}  // namespace
}  // namespace nexoral::mailbox
