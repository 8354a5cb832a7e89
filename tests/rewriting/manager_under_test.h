// A cached-script manager on a clock and a local time the test sets, for tests that need
// reloads to fall due and hashes to be known in advance.
#ifndef NEXORAL_TESTS_REWRITING_MANAGER_UNDER_TEST_H
#define NEXORAL_TESTS_REWRITING_MANAGER_UNDER_TEST_H

#include <cstdint>

#include "platform/local_time.h"
#include "rewriting/cached_script_manager.h"

namespace nexoral::testing {

class ManagerUnderTest : public CCachedScriptManager {
 public:
  ManagerUnderTest() {
    SetClock([this] { return now; });
    SetLocalTimeSource([this] { return localTime; });
  }

  // Seconds the manager reads as the time now.
  int64_t now = 1'700'000'000;
  // The local time it makes a hash from.
  platform::CalendarTime localTime{.year = 2026, .month = 12, .day = 4, .hour = 22, .minute = 58};
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_REWRITING_MANAGER_UNDER_TEST_H
