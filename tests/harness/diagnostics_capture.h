// Captures what the module writes to its log and to the event log during one test. One capture
// of each kind at a time; lines and events may arrive from any thread.
#ifndef NEXORAL_TESTS_HARNESS_DIAGNOSTICS_CAPTURE_H
#define NEXORAL_TESTS_HARNESS_DIAGNOSTICS_CAPTURE_H

#include <mutex>
#include <string>
#include <vector>

#include "platform/event_sink.h"
#include "platform/thread_token.h"

namespace nexoral::testing {

// Switches the log on into memory; restores the previous switch and writer afterwards.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() const;
  // Lines that contain text.
  size_t Count(const std::string& text) const;
  bool Contains(const std::string& text) const { return Count(text) > 0; }
};

// A recorded event and the identity that wrote it.
struct CapturedEvent {
  platform::EventRecord record;
  std::string writtenAs;  // user of the writing thread's effective identity
};

// Registers the process event source (when needed) and records every event written.
class EventCapture : public platform::EventSink {
 public:
  EventCapture();
  ~EventCapture() override;

  bool Write(const platform::EventRecord& event) override;
  std::vector<CapturedEvent> Events() const;
  size_t Count(const std::string& text) const;

 private:
  mutable std::mutex mutex_;
  std::vector<CapturedEvent> events_;
  bool registeredHere_ = false;
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_HARNESS_DIAGNOSTICS_CAPTURE_H
