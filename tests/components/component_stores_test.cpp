// The outside components below their interfaces: the log module's locks (loaded as a shared
// object), the caches of the cache component and the mailbox property store, each also with
// several processes at once. What the components do through their interfaces is tested with
// their clients (tests/properties).
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "cache_interface.h"
#include "cache_registry.h"
#include "diagnostics/log_module_api.h"
#include "exchange_access_interface.h"
#include "harness/temp_folder.h"
#include "item_cache.h"
#include "mailbox_store.h"
#include "platform/module_loader.h"

namespace nexoral {
namespace {

using std::chrono::milliseconds;
using std::chrono::minutes;

// Runs body in a child process; ExitedCleanly tells whether it returned true.
pid_t Spawn(const std::function<bool()>& body) {
  const pid_t child = fork();
  if (child == 0) _exit(body() ? 0 : 1);
  return child;
}
bool ExitedCleanly(pid_t child) {
  int status = -1;
  return child > 0 && waitpid(child, &status, 0) == child && status == 0;
}

const std::string kLogName = testing::UniqueName("LockTest");

// The lock the log module gives out for a log name (empty: the common log's) and option.
CSync* LockOf(const std::string& name, int option = 1) {
  static const auto module = platform::LoadedModule::Load(NEXORAL_LOG_MODULE_PATH);
  CSync* lock = nullptr;
  if (name.empty()) module->FindFunction<GetGeneralLockFunction>(kGetGeneralLockExport)(&lock, option);
  else module->FindFunction<GetProductLockFunction>(kGetProductLockExport)(name.c_str(), &lock, option);
  return lock;
}

TEST(LogModuleTest, EachNameAndKindHasOneLockThatItsHolderMayTakeAgain) {
  const std::string other = kLogName + "-other";
  const struct { CSync* first; CSync* second; bool same; } kPairs[] = {
      {LockOf(kLogName), LockOf(kLogName), true}, {LockOf(kLogName), LockOf(other), false},
      {LockOf(kLogName, 0), LockOf(kLogName, 0), true}, {LockOf(kLogName, 0), LockOf(kLogName), false},
      {LockOf(kLogName, 7), LockOf(kLogName), true}, {LockOf(""), LockOf(""), true}, {LockOf("", 0), LockOf(""), false}};
  for (const auto& pair : kPairs) {
    EXPECT_TRUE(pair.first != nullptr && (pair.first == pair.second) == pair.same) << &pair - kPairs;
  }
  for (CSync* lock : {LockOf(kLogName, 0), LockOf(kLogName)}) {
    auto anotherThreadTakes = [lock] {
      bool taken = false;
      std::thread([&] { if ((taken = lock->TryLock() != 0)) lock->Unlock(); }).join();
      return taken;
    };
    lock->Lock();
    ASSERT_TRUE(lock->TryLock()) << "the holder may take it again";
    lock->Unlock();
    EXPECT_FALSE(anotherThreadTakes()) << "still held once by this thread";
    lock->Unlock();
    EXPECT_TRUE(anotherThreadTakes());
  }
  for (const std::string& name : {kLogName, other}) shm_unlink(("/nexoral.loglock." + name).c_str());
}

// The lock object's mode for the mode variable (empty: unset), whatever the umask; an object
// that other accounts can reach is refused.
TEST(LogModuleTest, LockObjectsAreForThisUserAndGroupOnly) {
  const mode_t umaskBefore = umask(0);
  const std::pair<std::string, int> rows[] = {{"", 0660}, {"600", 0600}, {"0777", 0660}, {"x", 0660}, {"open", -1}};
  for (const auto& [value, mode] : rows) {
    const std::string name = kLogName + "-mode-" + value, object = "/nexoral.loglock." + name;
    if (value.empty()) unsetenv("NEXORAL_LOG_MODE");
    if (!value.empty()) setenv("NEXORAL_LOG_MODE", value.c_str(), 1);
    if (mode < 0 && geteuid() != 0) continue;  // only root can make an object for another account
    if (mode < 0) {  // made by another account, open to all
      const int squatted = shm_open(object.c_str(), O_CREAT | O_RDWR, 0666);
      EXPECT_EQ(fchown(squatted, 65534, 65534) + close(squatted), 0);
    }
    struct stat status {};
    const bool made = LockOf(name) != nullptr && stat(("/dev/shm" + object).c_str(), &status) == 0;
    EXPECT_EQ(made ? static_cast<int>(status.st_mode & 0777) : -1, mode) << value;
    shm_unlink(object.c_str());
  }
  unsetenv("NEXORAL_LOG_MODE");
  umask(umaskBefore);
}

TEST(LogModuleTest, ProcessesExcludeEachOtherAndADeadHoldersLockIsTakenOver) {
  constexpr long kRounds = 20000;
  void* shared = mmap(nullptr, 2 * sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  long* counter = static_cast<long*>(shared);
  long* started = counter + 1;
  auto count = [&] {  // each process asks for the lock anew, as a worker process does
    CSync* lock = LockOf(kLogName);
    __atomic_add_fetch(started, 1, __ATOMIC_SEQ_CST);
    while (__atomic_load_n(started, __ATOMIC_SEQ_CST) < 2) sched_yield();  // both count at once
    for (long round = 0; lock != nullptr && round < kRounds; ++round) {
      lock->Lock();
      const long seen = __atomic_load_n(counter, __ATOMIC_RELAXED);
      if (round % 64 == 0) sched_yield();
      __atomic_store_n(counter, seen + 1, __ATOMIC_RELAXED);
      lock->Unlock();
    }
    return lock != nullptr;
  };
  const pid_t counters[] = {Spawn(count), Spawn(count)};
  EXPECT_TRUE(ExitedCleanly(counters[0]) && ExitedCleanly(counters[1]));
  EXPECT_EQ(*counter, 2 * kRounds);
  munmap(shared, 2 * sizeof(long));
  EXPECT_TRUE(ExitedCleanly(Spawn([] { return LockOf(kLogName)->Lock(), true; })));  // dies holding it
  ASSERT_TRUE(LockOf(kLogName)->TryLock());
  LockOf(kLogName)->Unlock();
  shm_unlink(("/nexoral.loglock." + kLogName).c_str());
}

class ManualClock final : public cache::CacheClock {
 public:
  cache::CacheTime Now() const override { return now_; }
  cache::CacheTime now_ = cache::CacheTime() + std::chrono::hours(1);
};

TEST(CacheStoreTest, ItemsFollowTheCountAgeAndRecencyRules) {
  // Steps: '+' stores data under key, '?' reads it (data or a miss), '-' invalidates (number: it
  // was there), '#' counts the items, '>' lets number seconds pass.
  struct Step { char op; std::string key; std::optional<std::string> data = std::nullopt; long number = 0; };
  const std::string key("k\0ey", 4), data("<S>\0\xff</S>", 9);
  const struct { size_t maxItems; std::vector<Step> steps; } kScenarios[] = {
      // A read makes an item the most recently used; the least recently used one goes.
      {3, {{'+', "a", "1"}, {'+', "b", "2"}, {'+', "c", "3"}, {'?', "a", "1"}, {'+', "d", "4"}, {'#', "", {}, 3},
           {'?', "b"}, {'?', "c", "3"}, {'?', "d", "4"}, {'+', "e", "5"}, {'?', "a"}}},
      // Replacing keeps one item, with the new data, as the most recent.
      {2, {{'+', "a", "old"}, {'+', "b", "2"}, {'+', "a", "new"}, {'#', "", {}, 2}, {'+', "c", "3"},
           {'?', "a", "new"}, {'?', "b"}}},
      // Reading does not renew the age, replacing does; an expired item goes when read.
      {10, {{'+', "a", "1"}, {'+', "b", "2"}, {'>', "", {}, 30 * 60 - 1}, {'?', "a", "1"}, {'+', "b", "3"},
            {'>', "", {}, 1}, {'?', "a"}, {'?', "b", "3"}, {'#', "", {}, 1}, {'>', "", {}, 30 * 60}, {'?', "b"}}},
      {10, {{'+', "a", "1"}, {'+', "b", "2"}, {'-', "a", {}, 1}, {'-', "a", {}, 0}, {'-', "never", {}, 0},
            {'?', "a"}, {'?', "b", "2"}}},
      // Keys and data are kept byte for byte.
      {10, {{'+', key, data}, {'?', key, data}, {'?', "k"}, {'+', "empty", ""}, {'?', "empty", ""}}}};
  for (const auto& scenario : kScenarios) {
    ManualClock clock;
    cache::ItemCache cache(scenario.maxItems, minutes(30), clock);
    for (const Step& step : scenario.steps) {
      SCOPED_TRACE(::testing::Message() << "scenario " << &scenario - kScenarios << ", step "
                                        << &step - scenario.steps.data());
      switch (step.op) {
        case '+': cache.Add(step.key, *step.data); break;
        case '?': EXPECT_EQ(cache.Get(step.key), step.data); break;
        case '-': EXPECT_EQ(cache.Invalidate(step.key), step.number != 0); break;
        case '#': EXPECT_EQ(cache.Count(), static_cast<size_t>(step.number)); break;
        default: clock.now_ += std::chrono::seconds(step.number);
      }
    }
  }
}

TEST(CacheStoreTest, AShardedCacheNeverHoldsMoreThanItsMaximumAndKeepsTheRecentItems) {
  ManualClock clock;
  cache::ItemCache cache(3001, minutes(30), clock);
  for (int index = 0; index < 20000; ++index) cache.Add("user" + std::to_string(index), std::to_string(index));
  EXPECT_LE(cache.Count(), 3001u);
  EXPECT_GT(cache.Count(), 2700u);  // the shards fill about evenly
  for (int index = 19990; index < 20000; ++index) {
    EXPECT_EQ(cache.Get("user" + std::to_string(index)), std::to_string(index));
  }
}

TEST(CacheStoreTest, NothingWorksBeforeTheStartAndANewRegistryAtAnOldOnesAddressIsNotTheOldOne) {
  ManualClock clock;
  cache::CacheRegistry registry(clock);
  HRESULT failure = kSOk;
  EXPECT_EQ(registry.Find("c", &failure), nullptr);
  for (HRESULT result : {failure, registry.Create("c", 10, minutes(5)), registry.Destroy("c"), registry.Stop()}) {
    EXPECT_EQ(result, kCacheENotInitialized);
  }
  ASSERT_TRUE(registry.Start() == kSOk && registry.Create("old", 10, minutes(5)) == kSOk);
  ASSERT_NE(registry.Find("old", &failure), nullptr);  // this thread keeps a snapshot of the registry
  registry.~CacheRegistry();
  new (&registry) cache::CacheRegistry(clock);
  EXPECT_EQ(registry.Find("old", &failure), nullptr);
  EXPECT_EQ(failure, kCacheENotInitialized);
}

using Values = std::vector<std::optional<std::string>>;
constexpr char kSet[] = "00020329-0000-0000-C000-000000000046";

// Runs SQL on the file with a connection of its own, as another program would; keeps the
// connection open in *held when asked.
int RunSql(const std::string& path, const char* sql, sqlite3** held = nullptr) {
  sqlite3* db = nullptr;
  int code = sqlite3_open(path.c_str(), &db);
  if (code == SQLITE_OK) code = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  if (held == nullptr) sqlite3_close(db);
  else *held = db;
  return code;
}

class MailboxStoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<mailbox::MailboxStore> Open(milliseconds timeout = milliseconds(2000)) {
    auto store = mailbox::MailboxStore::Open(path_, timeout, &error_);
    EXPECT_NE(store, nullptr) << error_.text;
    return store;
  }
  Values Read(const std::vector<mailbox::PropertyKey>& keys, const std::string& mailbox = "bob") {
    Values values;
    EXPECT_TRUE(Open()->Read(mailbox, keys, &values, &error_)) << error_.text;
    return values;
  }

  testing::TempFolder folder_;
  const std::string path_ = folder_.Join("data/properties.db");
  mailbox::StoreError error_;
};

TEST_F(MailboxStoreTest, ValuesComeBackInRequestOrderPerMailboxAndFullKeyAndWritesAreAllOrNothing) {
  const std::string kOther = "A1B2C3D4-0000-0000-C000-000000000046";
  ASSERT_TRUE(Open()->Write("bob", {{{kSet, 1, 31}, "blue"}, {{kSet, 2, 3}, "42"}, {{kOther, 1, 31}, "other set"},
                                    {{kSet, 1, 3}, "other type"}, {{kSet, 3, 31}, ""}, {{kSet, 4, 31}, "' <a> é"}},
                            &error_)) << error_.text;
  ASSERT_TRUE(Open()->Write("bob", {{{kSet, 1, 31}, "green"}}, &error_));  // replaces
  EXPECT_EQ(Read({{kSet, 4, 31}, {kSet, 9, 31}, {kSet, 1, 31}, {kOther, 1, 31}, {kSet, 1, 3}, {kSet, 3, 31}, {kSet, 2, 3}}),
            (Values{"' <a> é", std::nullopt, "green", "other set", "other type", "", "42"}));
  EXPECT_EQ(Read({{kSet, 1, 31}}, "alice"), (Values{std::nullopt}));
  // A rule in the file refuses one value after the rows before it were written.
  ASSERT_EQ(RunSql(path_, "CREATE TRIGGER refuse BEFORE INSERT ON property_values WHEN NEW.value = "
                          "'refused' BEGIN SELECT RAISE(ABORT, 'value refused'); END"), SQLITE_OK);
  auto store = Open();
  EXPECT_FALSE(store->Write("bob", {{{kSet, 1, 31}, "after"}, {{kSet, 5, 31}, "new"}, {{kSet, 6, 31}, "refused"}},
                            &error_));
  EXPECT_NE(error_.text.find("value refused"), std::string::npos) << error_.text;
  EXPECT_EQ(Read({{kSet, 1, 31}, {kSet, 5, 31}}), (Values{"green", std::nullopt}));
  EXPECT_TRUE(store->Write("bob", {{{kSet, 5, 31}, "new"}}, &error_)) << error_.text;  // usable after
}

TEST_F(MailboxStoreTest, WhatIsNotAStoreIsRefusedAndLeftAsItWas) {
  const struct { std::function<std::string()> layOut; int number; const char* text; } kCases[] = {
      {[&] { return folder_.WriteFile("data/properties.db", "notes"), path_; }, SQLITE_NOTADB, "is not a store"},
      {[&] { return RunSql(path_, "CREATE TABLE t (x); PRAGMA user_version = 7"), path_; },
       kAccessErrorStoreFormat, "has format 7"},
      {[&] { return folder_.WriteFile("file", ""), folder_.Join("file/sub/properties.db"); }, SQLITE_CANTOPEN,
       "cannot create the folder"},
      {[&] { return folder_.Path(); }, SQLITE_CANTOPEN, "cannot open the mailbox store"}};
  for (const auto& refused : kCases) {
    const std::string path = refused.layOut(), before = testing::ReadWholeFile(path);
    EXPECT_EQ(mailbox::MailboxStore::Open(path, milliseconds(100), &error_), nullptr);
    EXPECT_EQ(error_.number & (refused.number > 0xFF ? ~0 : 0xFF), refused.number) << error_.text;
    EXPECT_TRUE(error_.text.find(refused.text) != std::string::npos && error_.text.find(path) != std::string::npos)
        << error_.text;
    EXPECT_EQ(testing::ReadWholeFile(path), before);
    unlink(path_.c_str());
  }
}

TEST_F(MailboxStoreTest, AStoreHeldByAnotherProcessPastTheTimeoutFailsWritesButNotReads) {
  ASSERT_TRUE(Open()->Write("bob", {{{kSet, 1, 31}, "kept"}}, &error_));
  int held[2], release[2];
  ASSERT_EQ(pipe(held) | pipe(release), 0);
  char signal = 'h';
  const pid_t holder = Spawn([&] {  // holds a write transaction until told; closing rolls it back
    sqlite3* db = nullptr;
    const bool holding = RunSql(path_, "BEGIN IMMEDIATE; UPDATE property_values SET value = 'x'", &db) == SQLITE_OK;
    return holding && write(held[1], &signal, 1) == 1 && read(release[0], &signal, 1) == 1 &&
           sqlite3_close(db) == SQLITE_OK;
  });
  ASSERT_EQ(read(held[0], &signal, 1), 1);
  auto store = Open(milliseconds(200));
  EXPECT_FALSE(store->Write("bob", {{{kSet, 1, 31}, "lost?"}, {{kSet, 2, 31}, "x"}}, &error_));
  EXPECT_NE(error_.text.find("is locked by another process (waited 200 ms)"), std::string::npos) << error_.text;
  EXPECT_EQ(Read({{kSet, 1, 31}}), (Values{"kept"}));
  ASSERT_EQ(write(release[1], &signal, 1), 1);
  EXPECT_TRUE(ExitedCleanly(holder));
  EXPECT_TRUE(store->Write("bob", {{{kSet, 2, 31}, "x"}}, &error_)) << error_.text;
  EXPECT_EQ(Read({{kSet, 1, 31}, {kSet, 2, 31}}), (Values{"kept", "x"}));
  for (int descriptor : {held[0], held[1], release[0], release[1]}) close(descriptor);
}

TEST_F(MailboxStoreTest, TwoProcessesWritingTheSameMailboxLoseNothing) {
  // Each opens the new file itself, and writes its own value and the shared one 40 times.
  pid_t workers[2];
  for (int worker : {1, 2}) {
    workers[worker - 1] = Spawn([&, worker] {
      bool written = true;
      for (int round = 0; written && round < 40; ++round) {
        written = Open()->Write("bob", {{{kSet, 100 * worker + round, 31}, std::to_string(round)},
                                        {{kSet, 1, 31}, "worker " + std::to_string(worker)}}, &error_);
      }
      return written;
    });
  }
  EXPECT_TRUE(ExitedCleanly(workers[0]) && ExitedCleanly(workers[1]));
  std::vector<mailbox::PropertyKey> keys = {{kSet, 1, 31}};
  for (int id = 100; id < 140; ++id) keys.insert(keys.end(), {{kSet, id, 31}, {kSet, id + 100, 31}});
  const Values values = Read(keys);
  EXPECT_TRUE(values[0] == "worker 1" || values[0] == "worker 2");
  for (size_t index = 1; index < keys.size(); ++index) {
    EXPECT_EQ(values[index], std::to_string(keys[index].id % 100)) << keys[index].id;
  }
}

}  // namespace
}  // namespace nexoral
