// Cached-script names: the decoration, the hash made from the local time, the hash's life in
// the registry (adopted, replaced, re-read when due) and worker processes starting together.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "harness/temp_folder.h"
#include "platform/error_codes.h"
#include "platform/forked_processes.h"
#include "platform/registry.h"
#include "platform/registry_root.h"
#include "rewriting/cached_script_manager.h"

namespace nexoral::testing {
namespace {

using platform::CalendarTime;
using platform::RegistryValue;

constexpr char kKeyFile[] = "software/zephyrquill/setup.reg";
constexpr int64_t kStart = 1'700'000'000;
constexpr int64_t kMinute = 60;

// A manager on a clock and a local time the test sets.
class ManagerUnderTest : public CCachedScriptManager {
 public:
  ManagerUnderTest() {
    SetClock([this] { return now; });
    SetLocalTimeSource([this] { return localTime; });
  }
  int64_t now = kStart;
  CalendarTime localTime{.year = 2026, .month = 12, .day = 4, .hour = 22, .minute = 58};
};

// The stored hash; result, when given, receives the outcome of the read.
RegistryValue StoredHash(DWORD* result = nullptr) {
  platform::RegistryKey key;
  RegistryValue value;
  DWORD outcome =
      platform::RegistryKey::Open(kCsmRegistryKey, platform::RegistryAccess::kRead, &key);
  if (outcome == kErrorSuccess) outcome = key.QueryValue(kCsmHashValue, &value);
  if (result != nullptr) *result = outcome;
  return value;
}

TEST(CachedScriptDecoratorTest, DecoratedNamesAndWhatUndecoratingLeaves) {
  const std::vector<std::tuple<std::string, bool, std::string>> rows = {
      // Another hash, one from before a change for instance, is still a decoration.
      {"ABCDEzq_app.js", true, "zq_app.js"}, {"x9_-.zq_app.js", true, "zq_app.js"},
      {"ABCDEzq_", true, "zq_"}, {"ABCDEFzq_app.js", false, "Fzq_app.js"},
      {"ABCDEZQ_app.js", false, "ZQ_app.js"}, {"ABCDEzq", false, "zq"},
      {"zq_app.js", false, "p.js"},  // undecorating does not check: callers ask first
      {"ABCDE", false, "ABCDE"}, {"", false, ""},  // no longer than a hash: unchanged
  };
  CCachedScriptDecorator decorator("ABCDE");
  for (const auto& [name, decorated, undecorated] : rows) {
    EXPECT_EQ(decorator.IsDecorated(name), decorated) << name;
    EXPECT_EQ(decorator.Undecorate(name), undecorated) << name;
  }
  decorator.SetHash("Vw0xY");
  EXPECT_EQ(decorator.GetDecoration(), decorator.GetHash() + decorator.GetPrefix());
  EXPECT_EQ(decorator.Decorate("a b.js"), "Vw0xYzq_a b.js");
  EXPECT_EQ(decorator.Undecorate(decorator.Decorate("a b.js")), "zq_a b.js");
}

TEST(ScriptHashTest, MonthDayHourMinuteAndYearModSevenPickTheCharacters) {
  const std::vector<std::pair<CalendarTime, std::string>> rows = {
      {{.year = 2026, .month = 12, .day = 4, .hour = 22, .minute = 58}, "LDWwD"},
      {{.year = 2023, .month = 1, .day = 1, .hour = 0, .minute = 0}, "AAAAA"},
      {{.year = 2029, .month = 6, .day = 31, .hour = 23, .minute = 59}, "F4XxG"},
      // Seconds and milliseconds do not count: one hash per minute.
      {{.year = 2025, .month = 3, .day = 15, .hour = 9, .minute = 7, .second = 59}, "COJHC"},
      // Indices outside 0..59 become 0.
      {{.year = 2026, .month = 12, .day = 4, .hour = 22, .minute = 60}, "LDWAD"},
      {{.year = 2026, .month = 12, .day = 4, .hour = 61, .minute = 4000000000u}, "LDAAD"},
      {{.year = 2026, .month = 0, .day = 0, .hour = 59, .minute = 1}, "AAxBD"},
  };
  for (const auto& [time, hash] : rows) EXPECT_EQ(GenerateScriptHash(time), hash);
}

// Init over a key file as an administrator or another process left it: the file (below the
// registry root) and its content (nullptr: none), the result, the hash ("new": made from the
// local time and stored; "kept": the one made at creation stays in memory), the interval.
TEST(CachedScriptManagerTest, InitAdoptsAUsableStoredHashAndReplacesAnyOther) {
  const std::vector<std::tuple<const char*, const char*, DWORD, std::string, DWORD>> rows = {
      {kKeyFile, nullptr, kErrorSuccess, "new", kDefaultCsmRefreshMinutes},
      {kKeyFile, "CsmHash=REG_SZ:Q1w-E\nCsmRefreshInterval=REG_DWORD:30\n", kErrorSuccess,
       "Q1w-E", 30},
      {kKeyFile, "CsmHash=REG_EXPAND_SZ:Q1w-E\n", kErrorSuccess, "Q1w-E", 15},
      {kKeyFile, "CsmHash=REG_SZ:ABCD\n", kErrorSuccess, "new", 15},
      {kKeyFile, "CsmHash=REG_SZ:ABCDEF\n", kErrorSuccess, "new", 15},
      {kKeyFile, "CsmHash=REG_DWORD:12345\n", kErrorSuccess, "new", 15},
      {kKeyFile, "CsmRefreshInterval=REG_DWORD:4294967295\n", kErrorSuccess, "new", 0xFFFFFFFF},
      // Corrupt: never overwritten.
      {kKeyFile, "CsmHash=REG_SZ:ABCD\nCsmRefreshInterval=REG_DWORD:ten\n", kErrorBadDatabase,
       "kept", 15},
      // The key's folder is a file: the key can neither be read nor made.
      {"software", "", kErrorPathNotFound, "kept", 15},
  };
  for (const auto& [file, content, result, expected, interval] : rows) {
    const std::string what = content != nullptr ? file + (": " + std::string(content)) : "none";
    RegistryRootOverride root;
    if (content != nullptr) root.Folder().WriteFile(file, content);
    ManagerUnderTest manager;
    const std::string atCreation = manager.GetCSMPrefix();
    EXPECT_EQ(manager.Init(), result) << what;
    EXPECT_TRUE(manager.IsInitialized()) << what;
    EXPECT_EQ(manager.GetRefreshInterval(), interval) << what;
    const std::string hash = expected == "new" ? GenerateScriptHash(manager.localTime) : expected;
    EXPECT_EQ(manager.GetCSMPrefix(), expected == "kept" ? atCreation : hash + "zq_") << what;
    if (expected == "new") {
      EXPECT_EQ(StoredHash().type, platform::REG_SZ) << what;
      EXPECT_EQ(StoredHash().text, hash) << what;
    } else {
      EXPECT_EQ(ReadWholeFile(root.Folder().Join(file)), content) << what;
    }
  }
}

// One manager through a sequence of refreshes. A reload is due when more whole minutes than
// the interval passed since the last. Each step: the time (seconds after the start), the key
// file it writes first (nullptr: none), whether a hash made from the local time was stored,
// else the hash adopted (nullptr: the one held before), and the interval afterwards.
TEST(CachedScriptManagerTest, RefreshReloadsWhenDue) {
  const std::vector<std::tuple<int64_t, const char*, bool, const char*, DWORD>> steps = {
      {0, nullptr, true, nullptr, 15},  // a Refresh before Init loads at once
      {15 * kMinute, "CsmHash=REG_SZ:Admin\n", false, nullptr, 15},
      {16 * kMinute - 1, nullptr, false, nullptr, 15},
      {16 * kMinute, nullptr, false, "Admin", 15},
      {31 * kMinute, "CsmHash=REG_SZ:Later\nCsmRefreshInterval=REG_DWORD:30\n", false, nullptr,
       15},
      {77 * kMinute, nullptr, false, "Later", 30},
      {107 * kMinute, "CsmHash=REG_SZ:Third\nCsmRefreshInterval=REG_DWORD:0\n", false, nullptr,
       30},
      {108 * kMinute, nullptr, false, "Third", 30},
      {139 * kMinute, "CsmHash=REG_SZ:ABCD\nCsmRefreshInterval=REG_SZ:5\n", true, nullptr, 30},
      {-kMinute, "CsmHash=REG_SZ:Bkwds\n", false, "Bkwds", 30},  // the clock set back
  };
  RegistryRootOverride root;
  ManagerUnderTest manager;
  std::string current;
  unsigned step = 0;
  for (const auto& [at, content, made, adopted, interval] : steps) {
    if (content != nullptr) root.Folder().WriteFile(kKeyFile, content);
    manager.localTime.minute = ++step;
    manager.now = kStart + at;
    bool written = !made;
    EXPECT_EQ(manager.Refresh(&written), kErrorSuccess) << "step " << step;
    EXPECT_EQ(written, made) << "step " << step;
    current = made ? GenerateScriptHash(manager.localTime) : adopted ? adopted : current;
    EXPECT_EQ(manager.GetCSMPrefix(), current + "zq_") << "step " << step;
    EXPECT_EQ(manager.GetRefreshInterval(), interval) << "step " << step;
    if (made) { EXPECT_EQ(StoredHash().text, current) << "step " << step; }
  }
}

// Worker processes starting at once on an empty registry: whatever the interleaving of their
// writes, one valid hash is stored, in a whole key file, and readers never see it go away.
TEST(CachedScriptManagerConcurrencyTest, ProcessesStartingTogetherLeaveOneValidStoredHash) {
  RegistryRootOverride root;
  for (int round = 0; round < 40; ++round) {
    const std::string roundRoot = root.Folder().Join("round" + std::to_string(round));
    root.Use(roundRoot);
    std::set<std::string> candidates;  // each process makes a different hash
    ForkedProcesses processes;
    for (int process = 0; process < 4; ++process) {
      CalendarTime localTime{.year = 2026, .month = 5, .day = 9, .hour = 14};
      localTime.minute = static_cast<unsigned>(process * 11 + round % 7);
      candidates.insert(GenerateScriptHash(localTime));
      processes.Fork([localTime] {
        ManagerUnderTest manager;
        manager.localTime = localTime;
        return manager.Init() == kErrorSuccess ? 0 : 1;
      });
    }
    processes.Start();
    bool hashSeen = false;
    for (bool running = true; running;) {
      running = processes.AnyRunning();
      DWORD result = kErrorSuccess;
      const RegistryValue value = StoredHash(&result);
      if (result == kErrorFileNotFound && !hashSeen) continue;
      ASSERT_EQ(result, kErrorSuccess) << "round " << round << (hashSeen ? ": hash went away" : "");
      ASSERT_EQ(candidates.count(value.text), 1u) << "round " << round << ": " << value.text;
      hashSeen = true;
    }
    ASSERT_TRUE(processes.WaitAll()) << "round " << round << ": an Init failed";

    const std::string folder = roundRoot + "/software/zephyrquill";
    EXPECT_EQ(ReadWholeFile(folder + "/setup.reg"),
              "; Software\\Zephyrquill\\Setup\nCsmHash=REG_SZ:" + StoredHash().text + "\n")
        << "round " << round;
    // Only the key file and its lock: no temporary file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 2) << round;
  }
}

}  // namespace
}  // namespace nexoral::testing
