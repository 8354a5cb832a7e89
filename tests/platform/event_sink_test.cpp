// Event sources: message formatting, unknown sources, routing to an installed sink.
#include "platform/event_sink.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "harness/installation.h"
#include "platform/error_codes.h"

namespace nexoral::platform {
namespace {

struct RecordingSink : EventSink {
  bool Write(const EventRecord& event) override {
    events.push_back(event);
    return true;
  }
  std::vector<EventRecord> events;
};

TEST(EventSinkTest, InsertionPointsTakeTheTexts) {
  EXPECT_EQ(FormatEventMessage("%1 failed in %2 (%3)", {"load", "pool"}), "load failed in pool ()");
  EXPECT_EQ(FormatEventMessage("100% done %", {}), "100% done %");
}

TEST(EventSinkTest, EventsReachTheInstalledSinkWithTheSourceMessage) {
  RecordingSink sink;
  InstallEventSink(&sink);
  HANDLE source = RegisterEventSource("Test Source", {{0x600000CA, "Report: %1"}});
  ASSERT_NE(source, nullptr);
  const char raw[] = {1, 2};
  EXPECT_TRUE(ReportEvent(source, kEventError, 0, 0x600000CA, {"disk full"}, raw, 2));
  EXPECT_TRUE(DeregisterEventSource(source));
  InstallEventSink(nullptr);
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0].source, "Test Source");
  EXPECT_EQ(sink.events[0].message, "Report: disk full");
  EXPECT_EQ(sink.events[0].rawData.size(), 2u);
}

TEST(EventSinkTest, AnEventsFileGetsOneLinePerEvent) {
  testing::TempFolder folder;
  const std::string file = folder.Join("events.log");
  testing::ScopedEnvironment route(kEventLogFileVariable, file);
  HANDLE source = RegisterEventSource("File Source", {{0x600000CA, "%1"}});
  ASSERT_NE(source, nullptr);
  EXPECT_TRUE(ReportEvent(source, kEventError, 0, 0x600000CA, {"first\nline"}, nullptr, 0));
  EXPECT_TRUE(ReportEvent(source, kEventInformation, 0, 0x60000065, {}, nullptr, 0));
  EXPECT_TRUE(DeregisterEventSource(source));
  EXPECT_EQ(testing::ReadWholeFile(file),
            "File Source ERROR [0x600000CA] first line\nFile Source INFORMATION [0x60000065] \n");

  testing::ScopedEnvironment unwritable(kEventLogFileVariable, folder.Join("missing/events.log"));
  HANDLE second = RegisterEventSource("File Source", {});
  EXPECT_FALSE(ReportEvent(second, kEventError, 0, 1, {"lost"}, nullptr, 0));
  EXPECT_EQ(GetLastError(), kErrorInvalidData);
  DeregisterEventSource(second);
}

}  // namespace
}  // namespace nexoral::platform
