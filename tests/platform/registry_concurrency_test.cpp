// Several processes writing one registry key while another reads it: no writer loses another's
// value and no reader sees a torn file.
#include <gtest/gtest.h>

#include <charconv>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/error_codes.h"
#include "platform/forked_processes.h"
#include "platform/registry.h"
#include "platform/registry_root.h"

namespace nexoral::testing {
namespace {

using platform::RegistryAccess;
using platform::RegistryKey;
using platform::RegistryValue;

constexpr char kSharedKey[] = "Software\\Zephyrquill\\Shared";
constexpr int kWriters = 3;
constexpr unsigned kWritesEach = 60;

std::string WriterName(int writer) { return "Writer" + std::to_string(writer); }

// The text writer stores at its count-th write: the count, then a run of letters whose length
// changes with the count, so a file cut short or mixed from two versions reads wrong.
std::string WriterText(int writer, unsigned count) {
  return std::to_string(count) + ":" +
         std::string(300 + 97 * (count % 13), static_cast<char>('a' + writer));
}

// The count a well-formed text carries; 0 when the text is not one WriterText makes.
unsigned CountOf(int writer, const std::string& text) {
  unsigned count = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (error != std::errc() || end == text.data()) return 0;
  return WriterText(writer, count) == text ? count : 0;
}

TEST(RegistryConcurrencyTest, WritersOfOneKeyKeepEachOthersValuesAndReadersSeeWholeFiles) {
  RegistryRootOverride root;
  RegistryKey reader;
  ASSERT_EQ(RegistryKey::Open(kSharedKey, RegistryAccess::kWrite, &reader), kErrorSuccess);

  ForkedProcesses processes;
  for (int writer = 0; writer < kWriters; ++writer) {
    processes.Fork([writer] {
      RegistryKey key;
      if (RegistryKey::Open(kSharedKey, RegistryAccess::kWrite, &key) != kErrorSuccess) return 1;
      for (unsigned count = 1; count <= kWritesEach; ++count) {
        if (key.SetTextValue(WriterName(writer), WriterText(writer, count)) != kErrorSuccess) {
          return 1;
        }
        if (key.SetNumberValue(WriterName(writer) + "Count", count) != kErrorSuccess) return 1;
      }
      return 0;
    });
  }
  processes.Start();

  // Once a writer's value was seen, every later read sees it again, with a count no lower.
  std::vector<unsigned> seen(kWriters, 0);
  int readsWhileWriting = 0;
  bool writersRunning = true;
  while (writersRunning) {
    writersRunning = processes.AnyRunning();
    for (int writer = 0; writer < kWriters; ++writer) {
      RegistryValue value;
      const DWORD result = reader.QueryValue(WriterName(writer), &value);
      if (result == kErrorFileNotFound && seen[writer] == 0) continue;
      ASSERT_EQ(result, kErrorSuccess) << WriterName(writer) << " after count " << seen[writer];
      if (writersRunning) ++readsWhileWriting;
      const unsigned count = CountOf(writer, value.text);
      ASSERT_NE(count, 0u) << "torn value of " << WriterName(writer);
      ASSERT_GE(count, seen[writer]) << WriterName(writer) << " went back";
      seen[writer] = count;
    }
  }
  ASSERT_TRUE(processes.WaitAll()) << "a writer failed";

  for (int writer = 0; writer < kWriters; ++writer) {
    RegistryValue value;
    ASSERT_EQ(reader.QueryValue(WriterName(writer), &value), kErrorSuccess);
    EXPECT_EQ(CountOf(writer, value.text), kWritesEach);
    ASSERT_EQ(reader.QueryValue(WriterName(writer) + "Count", &value), kErrorSuccess);
    EXPECT_EQ(value.number, kWritesEach);
  }
  std::vector<std::string> entries;
  for (const auto& entry :
       std::filesystem::directory_iterator(root.Folder().Join("software/zephyrquill"))) {
    entries.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(entries.size(), 2u) << "only the key file and its lock stay";
  EXPECT_GT(readsWhileWriting, 0) << "the reader ran while the writers wrote";
}

}  // namespace
}  // namespace nexoral::testing
