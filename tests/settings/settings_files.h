// Helpers for the settings tests: files with chosen last-write times and a clock the tests
// move by hand.
#ifndef NEXORAL_TESTS_SETTINGS_SETTINGS_FILES_H
#define NEXORAL_TESTS_SETTINGS_SETTINGS_FILES_H

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "harness/temp_folder.h"
#include "platform/file_time.h"

namespace nexoral::testing {

inline constexpr int64_t kJan2026 = 1767225600;  // 2026-01-01 00:00:00 UTC

// Sets the file's last-write time to the Unix second given.
inline bool SetLastWriteTime(const std::string& path, int64_t unixSeconds) {
  timespec times[2] = {{unixSeconds, 0}, {unixSeconds, 0}};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

// Writes the file and sets its last-write time.
inline void WriteFileAt(const std::string& path, const std::string& content, int64_t unixSeconds) {
  WriteWholeFile(path, content);
  SetLastWriteTime(path, unixSeconds);
}

// A clock standing at a chosen Unix second until moved.
class ManualClock {
 public:
  explicit ManualClock(int64_t unixSeconds) : now_(std::make_shared<int64_t>(unixSeconds)) {}
  void Advance(int64_t seconds) { *now_ += seconds; }
  void Set(int64_t unixSeconds) { *now_ = unixSeconds; }
  int64_t Now() const { return *now_; }
  // The clock function a settings object takes; it follows later moves of this clock.
  std::function<platform::FileTime()> Function() const {
    auto now = now_;
    return [now] { return platform::FileTimeFromUnix(*now, 0); };
  }

 private:
  std::shared_ptr<int64_t> now_;
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_SETTINGS_SETTINGS_FILES_H
