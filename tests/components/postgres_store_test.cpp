// The PostgreSQL store against a real server of the test's own: values round trip byte for
// byte, concurrent writers win whole sets, an older schema is migrated and a later one left
// alone, and every failure ends within the time limit with its documented number.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <mutex>

#include "change_feed.h"
#include "exchange_access_interface.h"
#include "harness/postgres_cluster.h"
#include "postgres_store.h"

namespace nexoral {
namespace {

using mailbox::ChangeAudience;
using mailbox::PostgresSettings;
using mailbox::PostgresStore;
using mailbox::PropertyKey;
using mailbox::PropertyWrite;
using mailbox::StoreError;
using Values = std::vector<std::optional<std::string>>;
using std::chrono::milliseconds;

const std::string kSet = "6C1E1F3A-3C5B-4B7E-9E1D-2A4F5B6C7D8E";

class PostgresStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(cluster_.Uri().empty()) << "no PostgreSQL server could be started"; }
  PostgresSettings Settings(milliseconds limit = milliseconds(3000)) const {
    return {cluster_.Uri(), cluster_.PasswordFile(), limit};
  }
  // Reads on a thread of its own, so on a connection of its own.
  static bool ReadApart(PostgresStore& store, const std::string& mailbox, const std::vector<PropertyKey>& keys,
                        Values* values, StoreError* error) {
    bool read = false;
    std::thread([&] { read = store.Read(mailbox, keys, values, error); }).join();
    return read;
  }

  testing::PostgresCluster cluster_;
};

TEST_F(PostgresStoreTest, ValuesRoundTripByteForByteAndPerMailbox) {
  PostgresStore store(Settings());
  const std::string binary("a\0b'\"\\\xff\xfe{},", 12);
  const std::string large(64 * 1024, 'x');
  const std::vector<PropertyWrite> writes = {{{kSet, 1, 31}, "plain"}, {{kSet, 2, 31}, binary},
                                             {{kSet, 3, 3}, large},   {{kSet, 4, 31}, ""},
                                             {{kSet, 1, 31}, "last"}};  // a key given twice: its last value
  StoreError error;
  ASSERT_TRUE(store.Write("contoso\\alice", writes, ChangeAudience::kOthers, &error)) << error.text;
  const struct { std::string mailbox; PropertyKey key; std::optional<std::string> expected; } rows[] = {
      {"contoso\\alice", {kSet, 1, 31}, "last"},
      {"contoso\\alice", {kSet, 2, 31}, binary},
      {"contoso\\alice", {kSet, 3, 3}, large},
      {"contoso\\alice", {kSet, 4, 31}, ""},
      {"contoso\\alice", {kSet, 1, 3}, std::nullopt},  // another type
      {"contoso\\alice", {"00000000-0000-0000-0000-000000000000", 1, 31}, std::nullopt},
      {"contoso\\bob", {kSet, 1, 31}, std::nullopt},  // another mailbox
  };
  std::vector<PropertyKey> keys;
  for (const auto& row : rows) keys.push_back(row.key);
  for (const std::string mailbox : {"contoso\\alice", "contoso\\bob"}) {
    Values values;
    ASSERT_TRUE(store.Read(mailbox, keys, &values, &error)) << error.text;
    ASSERT_EQ(values.size(), keys.size());
    for (size_t index = 0; index < keys.size(); ++index) {
      if (rows[index].mailbox == mailbox) {
        EXPECT_EQ(values[index], rows[index].expected) << index;
      }
    }
  }
}

TEST_F(PostgresStoreTest, EightWritersOfOneSetEachWinItWhole) {
  PostgresStore store(Settings(milliseconds(20000)));
  std::vector<PropertyKey> keys;
  for (int32_t id = 1; id <= 6; ++id) keys.push_back({kSet, id, 31});
  std::atomic<bool> writing{true};
  std::atomic<int> failures{0}, mixedReads{0};
  std::thread reader([&] {
    while (writing) {
      Values values;
      StoreError error;
      if (!store.Read("contoso\\carol", keys, &values, &error)) {
        ++failures;
      } else if (values.front() && std::count(values.begin(), values.end(), values.front()) != 6) {
        ++mixedReads;
      }
    }
  });
  std::vector<std::thread> writers;
  for (int writer = 0; writer < 8; ++writer) {
    writers.emplace_back([&, writer] {
      for (int round = 0; round < 25; ++round) {
        std::vector<PropertyWrite> set;
        for (const PropertyKey& key : keys) set.push_back({key, std::to_string(writer) + "/" + std::to_string(round)});
        if (writer % 2 == 1) std::reverse(set.begin(), set.end());  // writers name the keys in other orders
        StoreError error;
        if (!store.Write("contoso\\carol", set, ChangeAudience::kOthers, &error)) ++failures;
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  writing = false;
  reader.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(mixedReads, 0);
  Values last;
  StoreError error;
  ASSERT_TRUE(store.Read("contoso\\carol", keys, &last, &error)) << error.text;
  EXPECT_EQ(std::count(last.begin(), last.end(), last.front()), 6) << *last.front();
}

TEST_F(PostgresStoreTest, AnEarlierSchemaIsMigratedAndALaterOneLeftAlone) {
  // The first version's tables, as a front end of that version left them.
  ASSERT_NE(cluster_.Sql("CREATE TABLE nexoral_store_schema (version integer NOT NULL);"
                         "INSERT INTO nexoral_store_schema VALUES (1);"
                         "CREATE TABLE nexoral_property_values (mailbox text NOT NULL, property_set text NOT NULL,"
                         " property_id integer NOT NULL, property_type integer NOT NULL, value text NOT NULL,"
                         " PRIMARY KEY (mailbox, property_set, property_id, property_type));"
                         "INSERT INTO nexoral_property_values VALUES ('contoso\\dave', '" + kSet + "', 2, 31, 'gr\u00fcn')"),
            "failed");
  PostgresStore store(Settings());
  Values values;
  StoreError error;
  ASSERT_TRUE(ReadApart(store, "contoso\\dave", {{kSet, 2, 31}}, &values, &error)) << error.text;
  EXPECT_EQ(values.front(), "gr\u00fcn");
  EXPECT_EQ(cluster_.Sql("SELECT version FROM nexoral_store_schema"), "2\n");

  ASSERT_NE(cluster_.Sql("UPDATE nexoral_store_schema SET version = 3"), "failed");
  EXPECT_FALSE(ReadApart(store, "contoso\\dave", {{kSet, 2, 31}}, &values, &error));
  EXPECT_EQ(error.number, kAccessErrorStoreFormat) << error.text;
  EXPECT_EQ(cluster_.Sql("SELECT count(*) FROM nexoral_property_values"), "1\n");
}

// What a subscriber hears, in order.
struct Heard {
  static void Record(void* context, PropertyChange change, const char* text) {
    auto* heard = static_cast<Heard*>(context);
    std::lock_guard<std::mutex> lock(heard->mutex);
    heard->joined = heard->joined || change == PropertyChange::kFeedJoined;
    if (change == PropertyChange::kChanged) heard->mailboxes.push_back(text);
  }
  std::vector<std::string> Mailboxes(size_t count) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (joined && mailboxes.size() >= count) return mailboxes;
      }
      std::this_thread::sleep_for(milliseconds(50));
    }
    std::lock_guard<std::mutex> lock(mutex);
    return mailboxes;
  }
  std::mutex mutex;
  bool joined = false;
  std::vector<std::string> mailboxes;
};

TEST_F(PostgresStoreTest, TheFeedHearsOthersAndNotesForEveryoneButNotItsOwn) {
  const testing::PostgresStoreEnvironment environment(cluster_, "3000");
  Heard heard;
  platform::ComPtr<IZqPropertyChanges> feed;
  feed.Attach(new mailbox::ChangeFeed);
  ASSERT_EQ(feed->Subscribe(&Heard::Record, &heard), kSOk);
  ASSERT_TRUE(heard.Mailboxes(0).empty() && heard.joined);
  PostgresStore store(Settings());
  StoreError error;
  const std::vector<PropertyWrite> set = {{{kSet, 1, 31}, "v"}};
  ASSERT_TRUE(store.Write("contoso\\own", set, ChangeAudience::kOthers, &error)) << error.text;
  ASSERT_TRUE(store.Write("contoso\\owner", set, ChangeAudience::kEveryone, &error)) << error.text;
  ASSERT_TRUE(store.Announce("contoso\\refreshed", &error)) << error.text;
  ASSERT_NE(cluster_.Sql("SELECT pg_notify('nexoral_property_changes', '0123abcd contoso\\frank')"), "failed");
  EXPECT_EQ(heard.Mailboxes(2), (std::vector<std::string>{"contoso\\owner", "contoso\\frank"}));
  EXPECT_EQ(feed->Unsubscribe(), kSOk);
}

TEST_F(PostgresStoreTest, EveryFailureEndsWithinTheLimitWithItsNumberAndNoPassword) {
  // A listener that takes connections and never answers them.
  const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(silent, 8), 0);
  ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string silentUri = "postgresql://nexoral@127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/nexoral";
  testing::TempFolder folder;
  folder.WriteFile("wrong", "not-the-password\n");
  folder.WriteFile("open", "secret\n");
  ::chmod(folder.Join("wrong").c_str(), 0600);
  ::chmod(folder.Join("open").c_str(), 0644);
  const std::string password = testing::ReadWholeFile(cluster_.PasswordFile());
  const struct { std::string uri, passwordFile; int32_t number; } rows[] = {
      {silentUri, cluster_.PasswordFile(), kAccessErrorStoreUnavailable},
      {"postgresql://nexoral@127.0.0.1:1/nexoral", cluster_.PasswordFile(), kAccessErrorStoreUnavailable},
      {cluster_.Uri(), folder.Join("wrong"), kAccessErrorStoreUnavailable},
      {cluster_.Uri(), folder.Join("open"), kAccessErrorStoreSettings},
      {cluster_.Uri(), folder.Join("missing"), kAccessErrorStoreSettings},
      {cluster_.Uri() + "?password=" + password.substr(0, password.find('\n')), folder.Join("wrong"),
       kAccessErrorStoreUnavailable},  // the file's password wins
  };
  for (const auto& row : rows) {
    PostgresStore store({row.uri, row.passwordFile, milliseconds(700)});
    Values values;
    StoreError error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ReadApart(store, "contoso\\erin", {{kSet, 1, 31}}, &values, &error)) << row.uri;
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(700 + 500)) << row.uri;
    EXPECT_EQ(error.number, row.number) << error.text;
    EXPECT_EQ(error.text.find(password.substr(0, password.find('\n'))), std::string::npos) << error.text;
  }
  // Once the pause after a failure is over, one call at a time tries the silent database again;
  // the others fail at once.
  PostgresStore failing({silentUri, "", milliseconds(700)});
  Values failed;
  StoreError failure;
  EXPECT_FALSE(ReadApart(failing, "contoso\\erin", {{kSet, 1, 31}}, &failed, &failure));
  std::this_thread::sleep_for(milliseconds(800));
  std::atomic<int> waited{0};
  std::vector<std::thread> calls;
  for (int call = 0; call < 4; ++call) {
    calls.emplace_back([&] {
      PostgresStore store({silentUri, "", milliseconds(700)});
      Values values;
      StoreError error;
      const auto start = std::chrono::steady_clock::now();
      store.Read("contoso\\erin", {{kSet, 1, 31}}, &values, &error);
      waited += std::chrono::steady_clock::now() - start > milliseconds(500);
    });
  }
  for (std::thread& call : calls) call.join();
  EXPECT_EQ(waited, 1);
  ::close(silent);
}

}  // namespace
}  // namespace nexoral
