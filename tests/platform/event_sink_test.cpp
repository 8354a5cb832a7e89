// Event sources: message formatting, unknown sources, routing to an installed sink.
#include "platform/event_sink.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace nexoral::platform
