// The event source of the product and the formatting of reports.
#include "diagnostics/event_log.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/error_codes.h"
#include "platform/error_text.h"
#include "platform/event_sink.h"
#include "platform/thread_token.h"

namespace nexoral {
namespace {

constexpr size_t kMaxReportTexts = 6;
constexpr const char kDefaultProductName[] = "Zephyrquill Docuglimpse";

// The message file of the source: the texts administrators see for each event id.
platform::EventMessages SourceMessages() {
  return {
      {kEventIdInitialized, "The filter module initialized successfully."},
      {kEventIdInitFailed, "The filter module failed to initialize. See the previous event."},
      {kEventIdText, "%1"},
  };
}

uint16_t EventTypeOf(uint16_t typeArgument) {
  switch (typeArgument) {
    case kReportError:
      return platform::kEventError;
    case kReportWarning:
      return platform::kEventWarning;
    default:
      return platform::kEventInformation;
  }
}

std::string FormatBounded(size_t limit, const char* format, va_list args) {
  std::vector<char> buffer(limit + 1);
  const int written = std::vsnprintf(buffer.data(), buffer.size(), format, args);
  if (written < 0) return std::string();
  return std::string(buffer.data());
}

}  // namespace

CEventLog::~CEventLog() { Deregister(); }

bool CEventLog::Register(const char* productName) {
  if (registered_ != 0) return true;
  const char* name = productName != nullptr && productName[0] != '\0' ? productName
                                                                       : kDefaultProductName;
  source_ = platform::RegisterEventSource(name, SourceMessages());
  registered_ = source_ != nullptr ? 1 : 0;
  return registered_ != 0;
}

void CEventLog::Deregister() {
  if (registered_ == 0) return;
  registered_ = 0;
  if (platform::DeregisterEventSource(source_)) source_ = nullptr;
}

DWORD CEventLog::Report(uint16_t type, uint16_t category, DWORD eventId, DWORD rawSize,
                        const void* rawData, std::initializer_list<const char*> texts) {
  if (source_ == nullptr) return kErrorInvalidParameter;
  std::vector<std::string> collected;
  for (const char* text : texts) {
    if (text == nullptr || collected.size() == kMaxReportTexts) break;
    collected.emplace_back(text);
  }
  platform::ProcessIdentityScope asProcess;
  if (platform::ReportEvent(source_, EventTypeOf(type), category, eventId, collected, rawData,
                            rawSize)) {
    return kErrorSuccess;
  }
  return GetLastError();
}

void ReportText(uint16_t type, const char* format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  const std::string text = FormatBounded(kReportTextChars, format, args);
  va_end(args);
  if (text.empty()) return;
  ProcessEventLog().Report(type, 0, kEventIdText, 0, nullptr, {text.c_str(), nullptr});
}

void ReportError(DWORD code, uint16_t type, const char* format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  const std::string message = FormatBounded(kReportErrorChars, format, args);
  va_end(args);
  const std::string text = "ERROR: " + SystemErrorText(code) + ". " + message;
  ProcessEventLog().Report(type, 0, kEventIdText, 0, nullptr, {text.c_str(), nullptr});
}

}  // namespace nexoral
