// Log line formatting: bounds, the error-text form, the switch and failing writers.
#include "diagnostics/log.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "diagnostics/event_log.h"
#include "harness/diagnostics_capture.h"
#include "platform/error_text.h"

namespace nexoral {
namespace {

using testing::LogCapture;

TEST(LogTest, LongMessageIsCutAfter2047Characters) {
  LogCapture capture;
  const std::string message(3000, 'x');
  Log("%s", message.c_str());
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Lines()[0], message.substr(0, 2047));
}

TEST(LogTest, NothingIsWrittenWhileTheSwitchIsOff) {
  LogCapture capture;
  SetLogSwitch(kLogSwitchOff);
  Log("dropped %d", 1);
  LogError(2, "dropped too");
  EXPECT_TRUE(capture.Lines().empty());
}

TEST(LogTest, LogErrorAppendsTheSystemTextAfterThreeBlanks) {
  LogCapture capture;
  LogError(2, "Load %s failed", "CoreSettings.xml");
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Lines()[0],
            "Load CoreSettings.xml failed   The system cannot find the file specified.");
}

TEST(LogTest, LogErrorBoundsTheMessageAndKeepsTheText) {
  LogCapture capture;
  const std::string message(800, 'm');
  LogError(87, "%s", message.c_str());
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Lines()[0], message.substr(0, 511) + "   " + SystemErrorText(87));
}

TEST(LogTest, HugeArgumentsAreCutInEveryFormattingPath) {
  LogCapture log;
  testing::EventCapture events;
  const std::string huge(1 << 20, 'h');
  Log("%s%s%s", huge.c_str(), huge.c_str(), huge.c_str());
  LogError(0x80070002u, "%s", huge.c_str());
  LogError(999999, "%s %d", huge.c_str(), 7);  // a code without any text
  ReportText(kReportWarning, "%s", huge.c_str());
  ReportError(5, kReportError, "%s", huge.c_str());
  ASSERT_EQ(log.Lines().size(), 3u);
  EXPECT_EQ(log.Lines()[0].size(), 2047u);
  EXPECT_EQ(log.Lines()[1], huge.substr(0, 511) + "   " + SystemErrorText(2));
  EXPECT_EQ(log.Lines()[2], huge.substr(0, 511) + "   ");
  const auto written = events.Events();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(written[0].record.texts.at(0).size(), kReportTextChars);
  EXPECT_EQ(written[1].record.texts.at(0),
            "ERROR: " + SystemErrorText(5) + ". " + huge.substr(0, kReportErrorChars));
}

void ThrowingWriter(const char*) { throw std::runtime_error("disk gone"); }

TEST(LogTest, AFailingWriterDoesNotReachTheCaller) {
  LogCapture capture;
  SetLogWriter(ThrowingWriter);
  EXPECT_NO_THROW(Log("still fine"));
  EXPECT_NO_THROW(LogError(5, "still fine"));
}

}  // namespace
}  // namespace nexoral
