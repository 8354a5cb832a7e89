// The shared-memory log: line layout, header, wrapping, adopting a mapping made by another
// process, damaged headers and the dump at unload.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "diagnostics/log.h"
#include "diagnostics/log_installation.h"
#include "diagnostics/log_line.h"
#include "diagnostics/log_state.h"
#include "diagnostics/log_writers.h"
#include "platform/shared_memory.h"

namespace nexoral {
namespace {

using testing::LogInstallation;

class SharedMemoryLogTest : public ::testing::Test {
 protected:
  // A view of the whole mapping, as another process sees it.
  struct Peek {
    std::unique_ptr<platform::SharedMemory> mapping;
    const char* view = nullptr;
    size_t size = 0;
    LogHeader header;
  };

  Peek PeekAtMapping() {
    Peek peek;
    peek.mapping = platform::SharedMemory::Open(install.MappingName());
    if (peek.mapping == nullptr) return peek;
    peek.size = peek.mapping->Size();
    peek.view = peek.mapping->Map(peek.size);
    if (peek.view != nullptr) ParseLogHeader(peek.view, &peek.header);
    return peek;
  }

  // A mapping made by another process, with the given size and header text.
  std::unique_ptr<platform::SharedMemory> MakeMapping(size_t size, const std::string& header) {
    auto mapping = platform::SharedMemory::Create(install.MappingName(), size);
    char* view = mapping->Map(size);
    std::string padded = header;
    padded.resize(kLogHeaderSize, ' ');
    padded.copy(view, kLogHeaderSize);
    return mapping;
  }

  LogInstallation install;
};

TEST_F(SharedMemoryLogTest, LinesFollowTheHeaderEachWithItsStamp) {
  install.SelectOwnLog(testing::kSharedMemoryOutput, 64);
  install.Configure();
  Log("first %d", 1);
  Log("second");
  const Peek peek = PeekAtMapping();
  ASSERT_NE(peek.view, nullptr);
  EXPECT_EQ(peek.header.wrapStart, 20480);
  EXPECT_EQ(peek.header.size, 65536);
  EXPECT_EQ(peek.header.writePosition, peek.header.highWaterMark);
  const std::string_view log(peek.view, peek.header.writePosition);
  const auto lines = testing::LinesAfterHeader(log);
  ASSERT_EQ(lines.size(), 2u) << log;
  EXPECT_EQ(testing::TextAfterStamp(lines[0]), "first 1 ") << lines[0];
  EXPECT_EQ(testing::TextAfterStamp(lines[1]), "second ") << lines[1];
  EXPECT_EQ(peek.view[peek.header.writePosition], '\0');
}

TEST_F(SharedMemoryLogTest, AFullLogWrapsToTheWrapStartKeepingWhatLiesBefore) {
  install.SelectOwnLog(testing::kSharedMemoryOutput, 64);
  install.Configure();
  const std::string text(1000, 'w');
  Peek peek = PeekAtMapping();
  std::string keptBefore;
  int32_t lastPosition = 0;
  for (int line = 0; line < 200; ++line) {
    Log("%03d %s", line, text.c_str());
    if (peek.view == nullptr) peek = PeekAtMapping();
    ASSERT_TRUE(ParseLogHeader(peek.view, &peek.header));
    if (peek.header.writePosition < lastPosition) break;  // wrapped
    lastPosition = peek.header.writePosition;
    if (lastPosition > 20480 && keptBefore.empty()) keptBefore.assign(peek.view + 100, 20380);
  }
  ASSERT_LT(peek.header.writePosition, lastPosition) << "the log never wrapped";
  EXPECT_EQ(std::string(peek.view + 100, 20380), keptBefore);
  EXPECT_EQ(std::string(peek.view + 20480, 2), "\r\n");
  EXPECT_GT(peek.header.writePosition, 20480 + 1000);
  EXPECT_EQ(peek.header.highWaterMark, lastPosition);
  EXPECT_LE(peek.header.highWaterMark, 65536);
}

TEST_F(SharedMemoryLogTest, ASecondProcessAdoptsTheSizeAndWrapStartOfTheMapping) {
  const auto existing = MakeMapping(32768, "100, 100, 4096, 32768");
  install.SelectOwnLog(testing::kSharedMemoryOutput, 1024);  // this process would make 1 MB
  install.Configure();
  Log("adopted");
  EXPECT_EQ(ProcessLogState().sizeLimit, 32768);
  const std::string text(2000, 'a');
  for (int line = 0; line < 40; ++line) Log("%s", text.c_str());
  const Peek peek = PeekAtMapping();
  EXPECT_EQ(peek.header.size, 32768);
  EXPECT_EQ(peek.header.wrapStart, 4096);
  EXPECT_LE(peek.header.highWaterMark, 32768);
  EXPECT_EQ(std::string(peek.view + 4096, 2), "\r\n");  // it wrapped where the header says
}

TEST_F(SharedMemoryLogTest, ADamagedHeaderNeverMovesWritesOutsideTheMapping) {
  const struct {
    const char* header;
    bool writes;
  } cases[] = {
      {"999999, 5, 200, 8192", true},        // position beyond the mapping
      {"-50, -50, -10, 8192", true},         // position inside the header
      {"150, 150, 100, 100000000", true},    // size beyond the mapping
      {"150, 150, 9000, 8192", true},        // wrap start beyond the size
      {"not a header", false},
      {"100, 100, 20480, 50", false},        // a size smaller than the header
  };
  const std::string text(3000, 'd');
  for (const auto& c : cases) {
    ResetLogState();
    platform::RemoveSharedMemory(install.MappingName());
    const auto existing = MakeMapping(8192, c.header);
    install.SelectOwnLog(testing::kSharedMemoryOutput, 64);
    install.Configure();
    for (int line = 0; line < 10; ++line) Log("%s", text.c_str());
    install.Configure();  // configured again, the size item asks for more than the mapping
    for (int line = 0; line < 10; ++line) Log("%s", text.c_str());
    Peek peek = PeekAtMapping();
    ASSERT_NE(peek.view, nullptr) << c.header;
    const bool wrote = std::string_view(peek.view, peek.size).find("\r\n") != std::string::npos;
    EXPECT_EQ(wrote, c.writes) << c.header;
    if (c.writes) {
      ASSERT_TRUE(ParseLogHeader(peek.view, &peek.header)) << c.header;
      EXPECT_GE(peek.header.writePosition, 100) << c.header;
      EXPECT_LE(peek.header.writePosition, 8192) << c.header;
    }
  }
}

TEST_F(SharedMemoryLogTest, FlushLogWritesTheMappingToTheLogPath) {
  install.SelectOwnLog(testing::kSharedMemoryOutput, 64);
  const std::string path = install.Configure();
  Log("kept for the file");
  const Peek peek = PeekAtMapping();
  const std::string expected(peek.view, peek.view + peek.header.writePosition);
  FlushLog();
  EXPECT_EQ(testing::ReadWholeFile(path), expected);
  EXPECT_NE(expected.find("kept for the file"), std::string::npos);
}

}  // namespace
}  // namespace nexoral
