// The buffered log file: lines held in memory until the buffer fills, the shared header, the
// wrap after the wrap start, and pending lines that survive a failed write.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "diagnostics/log.h"
#include "diagnostics/log_installation.h"
#include "diagnostics/log_line.h"
#include "diagnostics/log_writers.h"

namespace nexoral {
namespace {

using testing::LogInstallation;
using testing::ReadWholeFile;

LogHeader HeaderOf(const std::string& content) {
  LogHeader header;
  if (content.size() >= kLogHeaderSize) ParseLogHeader(content.data(), &header);
  return header;
}

TEST(BufferedLogTest, LinesWaitUntilTheBufferFillsThenFollowTheHeader) {
  LogInstallation install;
  install.SelectOwnLog(testing::kBufferedOutput);
  const std::string path = install.Configure();
  const std::string text(500, 'b');
  Log("line 0 %s", text.c_str());
  EXPECT_TRUE(ReadWholeFile(path).empty());

  int lines = 1;
  while (ReadWholeFile(path).empty() && lines < 1000) Log("line %d %s", lines++, text.c_str());
  const std::string written = ReadWholeFile(path);
  ASSERT_FALSE(written.empty());
  EXPECT_GE(written.size(), 100 + 51200 - 258 - 600);
  EXPECT_EQ(written.substr(100, 2), "\r\n");
  EXPECT_EQ(HeaderOf(written).writePosition, static_cast<int32_t>(written.size()));

  Log("the last line");
  FlushLog();
  const std::string flushed = ReadWholeFile(path);
  EXPECT_EQ(HeaderOf(flushed).writePosition, static_cast<int32_t>(flushed.size()));
  EXPECT_EQ(flushed.compare(0 + 100, written.size() - 100, written, 100), 0);
  for (int line = 0; line < lines; ++line) {
    EXPECT_NE(flushed.find(" line " + std::to_string(line) + " b"), std::string::npos) << line;
  }
  EXPECT_EQ(flushed.substr(flushed.size() - 13), "the last line");
}

TEST(BufferedLogTest, AFullFileWrapsAfterTheWrapStart) {
  LogInstallation install;
  install.SelectOwnLog(testing::kBufferedOutput, 64);
  const std::string path = install.Configure();
  const std::string text(1000, 'r');
  for (int line = 0; line < 200; ++line) Log("%03d %s", line, text.c_str());
  FlushLog();
  const std::string content = ReadWholeFile(path);
  const LogHeader header = HeaderOf(content);
  EXPECT_EQ(content.substr(20481, 2), "\r\n");
  EXPECT_GT(header.writePosition, 20481);
  EXPECT_LT(header.writePosition, 65536 + 51200);
  EXPECT_EQ(header.highWaterMark, static_cast<int32_t>(content.size()));
  EXPECT_NE(content.find("199 rrr"), std::string::npos);
}

TEST(BufferedLogTest, PendingLinesSurviveAFailedWrite) {
  LogInstallation install;
  install.SelectOwnLog(testing::kBufferedOutput);
  const std::string path = install.Configure();
  // A file where the logs folder belongs: the log file cannot be made.
  install.folder.WriteFile("ZephyrquillLogs", "in the way");
  const std::string text(1000, 'p');
  for (int line = 0; line < 120; ++line) Log("%03d %s", line, text.c_str());

  std::filesystem::remove(install.folder.Join("ZephyrquillLogs"));
  FlushLog();
  const std::string content = ReadWholeFile(path);
  for (int line = 0; line < 120; ++line) {
    char expected[8];
    snprintf(expected, sizeof(expected), " %03d p", line);
    EXPECT_NE(content.find(expected), std::string::npos) << line;
  }
}

TEST(BufferedLogTest, FlushWithNothingWrittenYetMakesTheFile) {
  LogInstallation install;
  install.SelectOwnLog(testing::kBufferedOutput);
  const std::string path = install.Configure();
  Log("short-lived process");
  FlushLog();
  const std::string content = ReadWholeFile(path);
  EXPECT_EQ(content.substr(100, 2), "\r\n");
  EXPECT_EQ(content.substr(content.size() - 19), "short-lived process");
}

}  // namespace
}  // namespace nexoral
