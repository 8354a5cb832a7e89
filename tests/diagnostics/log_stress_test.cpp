// Two processes with four threads each write 10,000 lines each into one log: every line
// appears whole and exactly once, and the header agrees with what was written.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <map>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "diagnostics/log_installation.h"
#include "diagnostics/log_line.h"
#include "diagnostics/log_stress_lines.h"

extern char** environ;

namespace nexoral {
namespace {

using testing::LogInstallation;

constexpr int kProcesses = 2;
constexpr int kThreads = 4;
constexpr int kLinesPerThread = 10000;

pid_t StartWriter(const LogInstallation& install, int kind, int tag) {
  const std::string arguments[] = {NEXORAL_LOG_STRESS_WRITER,
                                   std::to_string(kind),
                                   install.folder.Path(),
                                   install.settings.commonFolder,
                                   install.moduleFileName,
                                   std::to_string(kThreads),
                                   std::to_string(kLinesPerThread),
                                   std::to_string(tag)};
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return child;
}

void RunWriters(const LogInstallation& install, int kind) {
  std::vector<pid_t> children;
  for (int tag = 0; tag < kProcesses; ++tag) children.push_back(StartWriter(install, kind, tag));
  for (pid_t child : children) {
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
}

// The writer's line (tag, thread, line number) that text is, when it is one whole and unmixed.
std::optional<std::tuple<int, int, int>> StressLineOf(std::string_view text) {
  int tag = -1;
  int thread = -1;
  int number = -1;
  if (std::sscanf(std::string(text).c_str(), "P%d T%d L%d", &tag, &thread, &number) != 3) {
    return std::nullopt;
  }
  if (text != testing::StressLine(tag, thread, number)) return std::nullopt;
  return std::make_tuple(tag, thread, number);
}

// Checks that the lines after the header are exactly the expected ones, each once and whole.
void ExpectEveryLineOnce(const std::string& log, bool trailingBlank) {
  std::map<std::tuple<int, int, int>, int> seen;
  size_t malformed = 0;
  for (std::string_view line : testing::LinesAfterHeader(log)) {
    std::optional<std::string_view> text = testing::TextAfterStamp(line);
    if (text && trailingBlank) {
      text = text->ends_with(' ') ? std::optional(text->substr(0, text->size() - 1)) : std::nullopt;
    }
    const auto key = text ? StressLineOf(*text) : std::nullopt;
    if (key) {
      ++seen[*key];
    } else {
      ++malformed;
    }
  }
  EXPECT_EQ(malformed, 0u);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kProcesses * kThreads * kLinesPerThread));
  size_t repeated = 0;
  for (const auto& [key, count] : seen) repeated += count != 1 ? 1 : 0;
  EXPECT_EQ(repeated, 0u);
}

// Runs the writers and checks the log file they leave: the header agrees with the file, and
// every line is there once.
void ExpectTwoProcessesShareTheLog(int kind) {
  LogInstallation install;
  RunWriters(install, kind);
  const std::string log = testing::ReadWholeFile(install.folder.Path() + "/ZephyrquillLogs/" +
                                                 install.logFileName);
  ASSERT_GT(log.size(), kLogHeaderSize);
  LogHeader header;
  ASSERT_TRUE(ParseLogHeader(log.data(), &header));
  EXPECT_EQ(header.writePosition, static_cast<int32_t>(log.size()));
  EXPECT_EQ(header.highWaterMark, header.writePosition);
  EXPECT_EQ(header.wrapStart, 20480);
  EXPECT_EQ(header.size, 16384 * 1024);
  // Shared-memory lines end with a blank.
  ExpectEveryLineOnce(log, kind == testing::kSharedMemoryOutput);
}

// The last process to leave writes the whole mapping to the log path.
TEST(LogStressTest, TwoProcessesShareTheSharedMemoryLog) {
  ExpectTwoProcessesShareTheLog(testing::kSharedMemoryOutput);
}

TEST(LogStressTest, TwoProcessesShareTheBufferedLog) {
  ExpectTwoProcessesShareTheLog(testing::kBufferedOutput);
}

}  // namespace
}  // namespace nexoral
