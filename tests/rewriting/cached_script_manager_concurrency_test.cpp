// Worker processes starting at once against an empty registry: whatever the interleaving of
// their writes, one valid hash is stored, in a whole key file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness/temp_folder.h"
#include "platform/error_codes.h"
#include "platform/forked_processes.h"
#include "platform/registry.h"
#include "platform/registry_root.h"
#include "rewriting/manager_under_test.h"

namespace nexoral::testing {
namespace {

constexpr int kRounds = 40;
constexpr int kProcesses = 4;

TEST(CachedScriptManagerConcurrencyTest, ProcessesStartingTogetherLeaveOneValidStoredHash) {
  RegistryRootOverride root;
  for (int round = 0; round < kRounds; ++round) {
    const std::string roundRoot = root.Folder().Join("round" + std::to_string(round));
    root.Use(roundRoot);

    // Each process makes a different hash, so the stored one tells which write won.
    std::set<std::string> candidates;
    ForkedProcesses processes;
    for (int process = 0; process < kProcesses; ++process) {
      platform::CalendarTime localTime{.year = 2026, .month = 5, .day = 9, .hour = 14};
      localTime.minute = static_cast<unsigned>(process * 11 + round % 7);
      candidates.insert(GenerateScriptHash(localTime));
      processes.Fork([localTime] {
        ManagerUnderTest manager;
        manager.localTime = localTime;
        return manager.Init() == kErrorSuccess ? 0 : 1;
      });
    }
    processes.Start();

    // Meanwhile this process reads as a worker would: no hash yet, then always a whole one.
    bool hashSeen = false;
    bool running = true;
    while (running) {
      running = processes.AnyRunning();
      platform::RegistryKey key;
      platform::RegistryValue value;
      DWORD result =
          platform::RegistryKey::Open(kCsmRegistryKey, platform::RegistryAccess::kRead, &key);
      if (result == kErrorSuccess) result = key.QueryValue(kCsmHashValue, &value);
      if (result == kErrorFileNotFound && !hashSeen) continue;
      ASSERT_EQ(result, kErrorSuccess) << "round " << round << (hashSeen ? ": hash went away" : "");
      ASSERT_EQ(candidates.count(value.text), 1u) << "round " << round << ": " << value.text;
      hashSeen = true;
    }
    ASSERT_TRUE(processes.WaitAll()) << "round " << round << ": an Init failed";

    const std::string folder = roundRoot + "/software/zephyrquill";
    const std::string content = ReadWholeFile(folder + "/setup.reg");
    std::istringstream lines(content);
    int hashLines = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("CsmHash=", 0) == 0) ++hashLines;
    }
    ASSERT_EQ(hashLines, 1) << "round " << round << ":\n" << content;
    ASSERT_EQ(content.back(), '\n') << "round " << round << ": cut short";

    platform::RegistryKey key;
    platform::RegistryValue stored;
    ASSERT_EQ(platform::RegistryKey::Open(kCsmRegistryKey, platform::RegistryAccess::kRead, &key),
              kErrorSuccess);
    ASSERT_EQ(key.QueryValue(kCsmHashValue, &stored), kErrorSuccess) << "round " << round;
    EXPECT_EQ(stored.type, platform::REG_SZ);
    EXPECT_EQ(candidates.count(stored.text), 1u) << "round " << round << ": " << stored.text;

    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      entries.push_back(entry.path().filename().string());
    }
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"setup.lock", "setup.reg"})) << "round " << round;

    // A process started afterwards takes the stored hash.
    ManagerUnderTest later;
    ASSERT_EQ(later.Init(), kErrorSuccess);
    EXPECT_EQ(later.GetCSMPrefix(), stored.text + "zq_") << "round " << round;
  }
}

}  // namespace
}  // namespace nexoral::testing
