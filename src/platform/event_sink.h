// The system event log: named event sources that administrators watch, each event with a type,
// a category, an id and insertion texts. Events go to syslog, or, when the environment variable
// NEXORAL_EVENT_LOG_FILE names a file, one line each to the end of that file
// ("<source> <ERROR|WARNING|INFORMATION> [0x<id>] <message>"); a test may install its own
// sink instead. Thread-safe.
#ifndef NEXORAL_PLATFORM_EVENT_SINK_H
#define NEXORAL_PLATFORM_EVENT_SINK_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "nexoral/win_types.h"

namespace nexoral::platform {

inline constexpr char kEventLogFileVariable[] = "NEXORAL_EVENT_LOG_FILE";

inline constexpr uint16_t kEventError = 1;
inline constexpr uint16_t kEventWarning = 2;
inline constexpr uint16_t kEventInformation = 4;

// Message texts of an event source by event id, with insertion points %1 to %9 (the
// message file of the source).
using EventMessages = std::map<DWORD, std::string>;

struct EventRecord {
  std::string source;
  uint16_t type = kEventInformation;
  uint16_t category = 0;
  DWORD id = 0;
  std::vector<std::string> texts;
  std::vector<uint8_t> rawData;
  std::string message;  // the source's message for id with the texts inserted
};

class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual bool Write(const EventRecord& event) = 0;
};

// Routes events to sink; null restores the system log. The sink must outlive its installation.
void InstallEventSink(EventSink* sink);

// Opens an event source; null with the last error 87 when name is empty.
HANDLE RegisterEventSource(const std::string& name, const EventMessages& messages);

// Writes one event. False with the last error 6 for an unknown source.
bool ReportEvent(HANDLE source, uint16_t type, uint16_t category, DWORD id,
                 const std::vector<std::string>& texts, const void* rawData, DWORD rawSize);

// Closes an event source. False with the last error 6 for an unknown source.
bool DeregisterEventSource(HANDLE source);

// The message with %1..%9 replaced by the texts (missing texts insert nothing).
std::string FormatEventMessage(const std::string& message, const std::vector<std::string>& texts);

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_EVENT_SINK_H
