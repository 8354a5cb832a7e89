// Event sources over syslog or an events file, with a replaceable sink for tests.
#include "platform/event_sink.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>

#include <atomic>
#include <cstdio>
#include <optional>

#include "platform/error_codes.h"
#include "platform/handle_table.h"

namespace nexoral::platform {
namespace {

struct EventSource {
  std::string name;
  EventMessages messages;
};

class SyslogSink final : public EventSink {
 public:
  bool Write(const EventRecord& event) override {
    const int priority = event.type == kEventError     ? LOG_ERR
                         : event.type == kEventWarning ? LOG_WARNING
                                                       : LOG_INFO;
    syslog(LOG_USER | priority, "%s: [0x%08X] %s", event.source.c_str(),
           static_cast<unsigned>(event.id), event.message.c_str());
    return true;
  }
};

// One line per event, appended with a single write so that processes sharing the file never
// interleave within a line. Line breaks in the message become blanks.
class FileSink final : public EventSink {
 public:
  explicit FileSink(const char* path) : path_(path) {}

  bool Write(const EventRecord& event) override {
    const char* type = event.type == kEventError     ? "ERROR"
                       : event.type == kEventWarning ? "WARNING"
                                                     : "INFORMATION";
    char prefix[64];
    std::snprintf(prefix, sizeof(prefix), " %s [0x%08X] ", type, static_cast<unsigned>(event.id));
    std::string line = event.source + prefix + event.message;
    for (char& c : line) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    line += '\n';
    const int descriptor = open(path_, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (descriptor < 0) return false;
    const bool written = write(descriptor, line.data(), line.size()) ==
                         static_cast<ssize_t>(line.size());
    close(descriptor);
    return written;
  }

 private:
  const char* path_;
};

HandleTable<EventSource>& Sources() {
  static HandleTable<EventSource> table(0x7000);
  return table;
}

SyslogSink& SystemLog() {
  static SyslogSink sink;
  return sink;
}

std::atomic<EventSink*> installedSink{nullptr};

// Writes one event to the installed sink, else the events file, else the system log.
bool WriteToCurrentSink(const EventRecord& event) {
  EventSink* sink = installedSink.load(std::memory_order_acquire);
  if (sink != nullptr) return sink->Write(event);
  const char* file = std::getenv(kEventLogFileVariable);
  if (file != nullptr && file[0] != '\0') return FileSink(file).Write(event);
  return SystemLog().Write(event);
}

}  // namespace

void InstallEventSink(EventSink* sink) { installedSink.store(sink, std::memory_order_release); }

HANDLE RegisterEventSource(const std::string& name, const EventMessages& messages) {
  if (name.empty()) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  return Sources().Insert(EventSource{name, messages});
}

bool ReportEvent(HANDLE source, uint16_t type, uint16_t category, DWORD id,
                 const std::vector<std::string>& texts, const void* rawData, DWORD rawSize) {
  const std::optional<EventSource> found = Sources().Find(source);
  if (!found) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  EventRecord event;
  event.source = found->name;
  event.type = type;
  event.category = category;
  event.id = id;
  event.texts = texts;
  if (rawData != nullptr && rawSize > 0) {
    const auto* bytes = static_cast<const uint8_t*>(rawData);
    event.rawData.assign(bytes, bytes + rawSize);
  }
  auto message = found->messages.find(id);
  event.message = message != found->messages.end() ? FormatEventMessage(message->second, texts)
                                                  : FormatEventMessage("%1", texts);
  if (WriteToCurrentSink(event)) return true;
  SetLastError(kErrorInvalidData);
  return false;
}

bool DeregisterEventSource(HANDLE source) {
  if (Sources().Erase(source)) return true;
  SetLastError(kErrorInvalidHandle);
  return false;
}

std::string FormatEventMessage(const std::string& message, const std::vector<std::string>& texts) {
  std::string result;
  result.reserve(message.size());
  for (size_t i = 0; i < message.size(); ++i) {
    const char next = i + 1 < message.size() ? message[i + 1] : '\0';
    if (message[i] == '%' && next >= '1' && next <= '9') {
      const size_t index = static_cast<size_t>(next - '1');
      if (index < texts.size()) result += texts[index];
      ++i;
      continue;
    }
    result += message[i];
  }
  return result;
}

}  // namespace nexoral::platform
