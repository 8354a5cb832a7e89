// The product's event source: registration, the type mapping, the text reports and the
// identity events are written as.
#include "diagnostics/event_log.h"

#include <gtest/gtest.h>

#include "harness/diagnostics_capture.h"
#include "platform/error_codes.h"
#include "platform/thread_token.h"

namespace nexoral {
namespace {

using testing::EventCapture;

TEST(EventLogTest, ReportingBeforeRegistrationReturns87AndWritesNothing) {
  EventCapture capture;
  CEventLog eventLog;
  EXPECT_EQ(eventLog.Report(kReportError, 0, kEventIdText, 0, nullptr, {"lost", nullptr}),
            kErrorInvalidParameter);
  EXPECT_TRUE(capture.Events().empty());
}

TEST(EventLogTest, TypeArgumentsMapToEventTypes) {
  EventCapture capture;
  CEventLog eventLog;
  ASSERT_TRUE(eventLog.Register("Zephyrquill Nexoral"));
  for (uint16_t type : {1, 2, 3, 0, 9}) eventLog.Report(type, 0, kEventIdInitialized, 0, nullptr, {});
  const auto events = capture.Events();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].record.type, platform::kEventError);
  EXPECT_EQ(events[1].record.type, platform::kEventWarning);
  EXPECT_EQ(events[2].record.type, platform::kEventInformation);
  EXPECT_EQ(events[3].record.type, platform::kEventInformation);
  EXPECT_EQ(events[4].record.type, platform::kEventInformation);
  EXPECT_EQ(events[0].record.source, "Zephyrquill Nexoral");
}

TEST(EventLogTest, TextsStopAtTheFirstNullAndAfterSix) {
  EventCapture capture;
  CEventLog eventLog;
  ASSERT_TRUE(eventLog.Register(nullptr));
  eventLog.Report(3, 0, kEventIdText, 0, nullptr, {"a", "b", nullptr, "c"});
  eventLog.Report(3, 0, kEventIdText, 0, nullptr, {"1", "2", "3", "4", "5", "6", "7"});
  const auto events = capture.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].record.texts, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(events[1].record.texts.size(), 6u);
  EXPECT_EQ(events[0].record.source, "Zephyrquill Docuglimpse");
}

TEST(EventLogTest, EventsAreWrittenAsTheProcessWhileTheThreadImpersonates) {
  EventCapture capture;
  HANDLE token = platform::CreateAccessToken({"bob", "CONTOSO", "S-1-5-21-9", {}});
  ASSERT_TRUE(platform::SetThreadToken(token));
  ReportText(kReportError, "as %s", "process");
  EXPECT_EQ(platform::EffectiveIdentity().user, "bob");
  platform::RevertToSelf();
  platform::CloseAccessToken(token);
  const auto events = capture.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].writtenAs, platform::ProcessIdentity().user);
  EXPECT_EQ(events[0].record.id, kEventIdText);
  EXPECT_EQ(events[0].record.message, "as process");
}

TEST(EventLogTest, ReportTextSkipsEmptyTextsAndIsBoundedReportErrorLeadsWithTheSystemText) {
  EventCapture capture;
  const std::string huge(30000, 'z');
  const char* nothing = "";
  ReportText(kReportInformation, "%s", nothing);  // an empty text reports nothing
  ReportText(kReportWarning, "%s", huge.c_str());
  ReportError(2, kReportError, "Load Criteria can not find file %s", "ZQCriteria.xml");
  const auto events = capture.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].record.texts.at(0).size(), kReportTextChars);
  EXPECT_EQ(events[1].record.texts.at(0),
            "ERROR: The system cannot find the file specified.. Load Criteria can not find file "
            "ZQCriteria.xml");
}

}  // namespace
}  // namespace nexoral
