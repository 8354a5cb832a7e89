// In-memory log writer and event sink.
#include "harness/diagnostics_capture.h"

#include "diagnostics/event_log.h"
#include "diagnostics/log.h"

namespace nexoral::testing {
namespace {

std::mutex linesMutex;
std::vector<std::string> capturedLines;
int savedSwitch = 0;
LogWriter savedWriter = nullptr;

void CaptureLine(const char* text) {
  std::lock_guard<std::mutex> guard(linesMutex);
  capturedLines.emplace_back(text);
}

}  // namespace

LogCapture::LogCapture() {
  {
    std::lock_guard<std::mutex> guard(linesMutex);
    capturedLines.clear();
  }
  savedSwitch = LogSwitch();
  savedWriter = CurrentLogWriter();
  SetLogWriter(CaptureLine);
  SetLogSwitch(kLogSwitchWrite);
}

LogCapture::~LogCapture() {
  SetLogSwitch(savedSwitch);
  SetLogWriter(savedWriter);
}

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> guard(linesMutex);
  return capturedLines;
}

size_t LogCapture::Count(const std::string& text) const {
  size_t count = 0;
  for (const std::string& line : Lines()) {
    if (line.find(text) != std::string::npos) ++count;
  }
  return count;
}

EventCapture::EventCapture() {
  platform::InstallEventSink(this);
  if (!ProcessEventLog().IsRegistered()) {
    registeredHere_ = ProcessEventLog().Register("Nexoral Tests");
  }
}

EventCapture::~EventCapture() {
  if (registeredHere_) ProcessEventLog().Deregister();
  platform::InstallEventSink(nullptr);
}

bool EventCapture::Write(const platform::EventRecord& event) {
  std::lock_guard<std::mutex> guard(mutex_);
  events_.push_back(CapturedEvent{event, platform::EffectiveIdentity().user});
  return true;
}

std::vector<CapturedEvent> EventCapture::Events() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return events_;
}

size_t EventCapture::Count(const std::string& text) const {
  size_t count = 0;
  for (const CapturedEvent& event : Events()) {
    for (const std::string& inserted : event.record.texts) {
      if (inserted.find(text) != std::string::npos) {
        ++count;
        break;
      }
    }
  }
  return count;
}

}  // namespace nexoral::testing
