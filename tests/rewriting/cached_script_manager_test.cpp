// The cached-script manager: the hash made from the local time, kept in and taken from the
// registry, and re-read when its refresh interval has passed.
#include "rewriting/cached_script_manager.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "harness/temp_folder.h"
#include "platform/error_codes.h"
#include "platform/registry.h"
#include "platform/registry_root.h"
#include "rewriting/manager_under_test.h"

namespace nexoral::testing {
namespace {

using platform::CalendarTime;
using platform::RegistryAccess;
using platform::RegistryKey;
using platform::RegistryValue;

constexpr char kSetupFile[] = "software/zephyrquill/setup.reg";
constexpr int64_t kMinute = 60;

// ---- Making a hash ------------------------------------------------------------------------

TEST(ScriptHashAlphabetTest, UpperCaseThenDigitsThenLowerCase) {
  const std::string alphabet = kScriptHashAlphabet;
  ASSERT_EQ(alphabet.size(), 62u);
  EXPECT_EQ(std::string() + alphabet[0] + alphabet[25] + alphabet[26] + alphabet[35] + alphabet[36] +
                alphabet[61],
            "AZ09az");
}

struct HashCase {
  CalendarTime time;
  std::vector<int> indices;  // into the alphabet
};

class ScriptHashTest : public ::testing::TestWithParam<HashCase> {};

TEST_P(ScriptHashTest, MonthDayHourMinuteAndYearModSevenPickTheCharacters) {
  std::string expected;
  for (int index : GetParam().indices) expected += kScriptHashAlphabet[index];
  EXPECT_EQ(GenerateScriptHash(GetParam().time), expected);
}

INSTANTIATE_TEST_SUITE_P(
    LocalTimes, ScriptHashTest,
    ::testing::Values(
        HashCase{{.year = 2026, .month = 12, .day = 4, .hour = 22, .minute = 58},
                 {11, 3, 22, 58, 3}},
        HashCase{{.year = 2023, .month = 1, .day = 1, .hour = 0, .minute = 0}, {0, 0, 0, 0, 0}},
        HashCase{{.year = 2029, .month = 6, .day = 31, .hour = 23, .minute = 59},
                 {5, 30, 23, 59, 6}},
        // Seconds and milliseconds do not count: one hash per minute.
        HashCase{{.year = 2025, .month = 3, .day = 15, .hour = 9, .minute = 7, .second = 59,
                  .millisecond = 999},
                 {2, 14, 9, 7, 2025 % 7}},
        // Indices outside 0..59 become 0.
        HashCase{{.year = 2026, .month = 12, .day = 4, .hour = 22, .minute = 60},
                 {11, 3, 22, 0, 3}},
        HashCase{{.year = 2026, .month = 12, .day = 4, .hour = 61, .minute = 4000000000u},
                 {11, 3, 0, 0, 3}},
        HashCase{{.year = 2026, .month = 0, .day = 0, .hour = 59, .minute = 1}, {0, 0, 59, 1, 3}},
        // A time that could not be converted.
        HashCase{{}, {0, 0, 0, 0, 0}}));

// ---- Loading the hash ---------------------------------------------------------------------

class CachedScriptManagerTest : public ::testing::Test {
 protected:
  std::string GeneratedHash() const { return GenerateScriptHash(manager_.localTime); }

  void StoreText(const std::string& name, const std::string& text, DWORD type = platform::REG_SZ) {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Open(kCsmRegistryKey, RegistryAccess::kWrite, &key), kErrorSuccess);
    ASSERT_EQ(key.SetTextValue(name, text, type), kErrorSuccess);
  }
  void StoreNumber(const std::string& name, DWORD number) {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Open(kCsmRegistryKey, RegistryAccess::kWrite, &key), kErrorSuccess);
    ASSERT_EQ(key.SetNumberValue(name, number), kErrorSuccess);
  }
  void DeleteStored(const std::string& name) {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Open(kCsmRegistryKey, RegistryAccess::kWrite, &key), kErrorSuccess);
    ASSERT_EQ(key.DeleteValue(name), kErrorSuccess);
  }
  RegistryValue Stored(const std::string& name) const {
    RegistryKey key;
    RegistryValue value;
    EXPECT_EQ(RegistryKey::Open(kCsmRegistryKey, RegistryAccess::kRead, &key), kErrorSuccess);
    EXPECT_EQ(key.QueryValue(name, &value), kErrorSuccess) << name;
    return value;
  }
  std::string KeyFileContent() const { return ReadWholeFile(root_.Folder().Join(kSetupFile)); }

  RegistryRootOverride root_;
  ManagerUnderTest manager_;
};

TEST_F(CachedScriptManagerTest, InitWithoutAStoredHashMakesOneAndStoresIt) {
  EXPECT_FALSE(manager_.IsInitialized());
  EXPECT_EQ(manager_.Init(), kErrorSuccess);
  EXPECT_TRUE(manager_.IsInitialized());

  const RegistryValue stored = Stored(kCsmHashValue);
  EXPECT_EQ(stored.type, platform::REG_SZ);
  EXPECT_EQ(stored.text, GeneratedHash());
  EXPECT_EQ(manager_.GetCSMPrefix(), GeneratedHash() + "zq_");
  EXPECT_TRUE(manager_.IsDecorated(GeneratedHash() + "zq_app.js"));
  EXPECT_EQ(manager_.Undecorate(GeneratedHash() + "zq_app.js"), "zq_app.js");
  EXPECT_EQ(manager_.GetRefreshInterval(), kDefaultCsmRefreshMinutes);

  // The next process, or the next start, takes the stored hash whatever its local time.
  ManagerUnderTest restarted;
  restarted.localTime.minute = 3;
  EXPECT_EQ(restarted.Init(), kErrorSuccess);
  EXPECT_EQ(restarted.GetCSMPrefix(), GeneratedHash() + "zq_");
}

class StoredHashTypeTest : public CachedScriptManagerTest,
                           public ::testing::WithParamInterface<DWORD> {};

TEST_P(StoredHashTypeTest, StoredHashOfFiveCharactersIsAdoptedWithoutAWrite) {
  StoreText(kCsmHashValue, "Q1w-E", GetParam());
  const std::string before = KeyFileContent();
  EXPECT_EQ(manager_.Init(), kErrorSuccess);
  EXPECT_EQ(manager_.GetCSMPrefix(), "Q1w-Ezq_");
  EXPECT_EQ(KeyFileContent(), before);
}

INSTANTIATE_TEST_SUITE_P(TextTypes, StoredHashTypeTest,
                         ::testing::Values(platform::REG_SZ, platform::REG_EXPAND_SZ));

TEST_F(CachedScriptManagerTest, UnusableStoredHashesAreReplacedByANewOne) {
  struct Unusable {
    const char* what;
    std::function<void()> store;
  };
  const std::vector<Unusable> cases = {
      {"four characters", [&] { StoreText(kCsmHashValue, "ABCD"); }},
      {"six characters", [&] { StoreText(kCsmHashValue, "ABCDEF"); }},
      {"empty", [&] { StoreText(kCsmHashValue, ""); }},
      {"four characters to expand",
       [&] { StoreText(kCsmHashValue, "ABCD", platform::REG_EXPAND_SZ); }},
      {"a number", [&] { StoreNumber(kCsmHashValue, 12345); }},
  };
  for (const Unusable& unusable : cases) {
    unusable.store();
    ManagerUnderTest manager;
    manager.localTime.minute = 17;
    bool written = false;
    EXPECT_EQ(manager.Refresh(&written), kErrorSuccess) << unusable.what;
    EXPECT_TRUE(written) << unusable.what;
    const RegistryValue stored = Stored(kCsmHashValue);
    EXPECT_EQ(stored.type, platform::REG_SZ) << unusable.what;
    EXPECT_EQ(stored.text, GenerateScriptHash(manager.localTime)) << unusable.what;
    EXPECT_EQ(manager.GetCSMPrefix(), stored.text + "zq_") << unusable.what;
  }
}

TEST_F(CachedScriptManagerTest, FailedWriteKeepsTheHashInMemoryAndReportsTheError) {
  // The root is a file: the key can neither be read nor made.
  root_.Folder().WriteFile("not-a-folder", "");
  root_.Use(root_.Folder().Join("not-a-folder"));
  const std::string atCreation = manager_.GetCSMPrefix();
  ASSERT_EQ(atCreation.size(), kScriptHashLength + 3);

  EXPECT_EQ(manager_.Init(), kErrorPathNotFound);
  EXPECT_EQ(manager_.GetCSMPrefix(), atCreation);
  EXPECT_TRUE(manager_.IsInitialized());
  EXPECT_EQ(manager_.GetRefreshInterval(), kDefaultCsmRefreshMinutes);

  bool written = true;
  manager_.now += 16 * kMinute;
  EXPECT_EQ(manager_.Refresh(&written), kErrorPathNotFound);
  EXPECT_FALSE(written);
  EXPECT_EQ(manager_.GetCSMPrefix(), atCreation);
}

TEST_F(CachedScriptManagerTest, CorruptKeyFileIsNotOverwrittenAndTheHashInMemoryStays) {
  const std::string handWritten = "CsmHash=REG_SZ:ABCD\nCsmRefreshInterval=REG_DWORD:ten\n";
  root_.Folder().WriteFile(kSetupFile, handWritten);
  const std::string atCreation = manager_.GetCSMPrefix();
  EXPECT_EQ(manager_.Init(), kErrorBadDatabase);
  EXPECT_EQ(manager_.GetCSMPrefix(), atCreation);
  EXPECT_EQ(KeyFileContent(), handWritten);
}

TEST_F(CachedScriptManagerTest, RefreshIntervalIsANonZeroNumberOtherwiseThePreviousOne) {
  StoreNumber(kCsmRefreshIntervalValue, 30);
  ASSERT_EQ(manager_.Init(), kErrorSuccess);
  EXPECT_EQ(manager_.GetRefreshInterval(), 30u);

  StoreNumber(kCsmRefreshIntervalValue, 0);
  manager_.now += 31 * kMinute;
  ASSERT_EQ(manager_.Refresh(), kErrorSuccess);
  EXPECT_EQ(manager_.GetRefreshInterval(), 30u) << "0 keeps the interval";

  StoreText(kCsmRefreshIntervalValue, "5");
  manager_.now += 31 * kMinute;
  ASSERT_EQ(manager_.Refresh(), kErrorSuccess);
  EXPECT_EQ(manager_.GetRefreshInterval(), 30u) << "a text is not an interval";

  DeleteStored(kCsmRefreshIntervalValue);
  manager_.now += 31 * kMinute;
  ASSERT_EQ(manager_.Refresh(), kErrorSuccess);
  EXPECT_EQ(manager_.GetRefreshInterval(), 30u) << "a missing value keeps the interval";

  StoreNumber(kCsmRefreshIntervalValue, 0xFFFFFFFFu);
  manager_.now += 31 * kMinute;
  ASSERT_EQ(manager_.Refresh(), kErrorSuccess);
  EXPECT_EQ(manager_.GetRefreshInterval(), 0xFFFFFFFFu);
}

// ---- Refreshing ---------------------------------------------------------------------------

TEST_F(CachedScriptManagerTest, ReloadFallsDueOnlyWhenMoreWholeMinutesThanTheIntervalPassed) {
  ASSERT_EQ(manager_.Init(), kErrorSuccess);
  const int64_t loaded = manager_.now;
  // The administrator sets a hash of his own; it counts from the next reload.
  StoreText(kCsmHashValue, "Admin");

  bool written = true;
  manager_.now = loaded + 15 * kMinute;
  EXPECT_EQ(manager_.Refresh(&written), kErrorSuccess);
  EXPECT_FALSE(written);
  EXPECT_EQ(manager_.GetCSMPrefix(), GeneratedHash() + "zq_") << "15 minutes: not due";
  manager_.now = loaded + 16 * kMinute - 1;
  EXPECT_EQ(manager_.Refresh(), kErrorSuccess);
  EXPECT_EQ(manager_.GetCSMPrefix(), GeneratedHash() + "zq_") << "15 whole minutes: not due";

  manager_.now = loaded + 16 * kMinute;
  EXPECT_EQ(manager_.Refresh(&written), kErrorSuccess);
  EXPECT_FALSE(written) << "a usable stored hash is adopted, not written";
  EXPECT_EQ(manager_.GetCSMPrefix(), "Adminzq_") << "16 minutes: due";

  // The next reload counts from this one; a long wait is due as well.
  StoreText(kCsmHashValue, "Later");
  manager_.now = loaded + 31 * kMinute;
  EXPECT_EQ(manager_.Refresh(), kErrorSuccess);
  EXPECT_EQ(manager_.GetCSMPrefix(), "Adminzq_");
  manager_.now = loaded + 16 * kMinute + 61 * kMinute;
  EXPECT_EQ(manager_.Refresh(), kErrorSuccess);
  EXPECT_EQ(manager_.GetCSMPrefix(), "Laterzq_");
}

TEST_F(CachedScriptManagerTest, ClockSetBackMakesTheReloadDue) {
  ASSERT_EQ(manager_.Init(), kErrorSuccess);
  StoreText(kCsmHashValue, "Admin");
  manager_.now -= kMinute;
  EXPECT_EQ(manager_.Refresh(), kErrorSuccess);
  EXPECT_EQ(manager_.GetCSMPrefix(), "Adminzq_");
}

TEST_F(CachedScriptManagerTest, RefreshBeforeInitLoadsAtOnce) {
  StoreText(kCsmHashValue, "Admin");
  EXPECT_EQ(manager_.Refresh(), kErrorSuccess);
  EXPECT_EQ(manager_.GetCSMPrefix(), "Adminzq_");
  EXPECT_FALSE(manager_.IsInitialized());
}

}  // namespace
}  // namespace nexoral::testing
