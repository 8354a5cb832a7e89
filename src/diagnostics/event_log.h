// CEventLog: the product's event source in the system event log, and the free functions that
// format reports for it. The settings host owns the one CEventLog of the process
// (ProcessEventLog); any thread may report. Events are written as the process identity.
#ifndef NEXORAL_DIAGNOSTICS_EVENT_LOG_H
#define NEXORAL_DIAGNOSTICS_EVENT_LOG_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "nexoral/win_types.h"

namespace nexoral {

inline constexpr DWORD kEventIdInitialized = 0x60000065;  // settings host initialised
inline constexpr DWORD kEventIdInitFailed = 0x600000C9;   // settings host failed to initialise
inline constexpr DWORD kEventIdText = 0x600000CA;         // any other report: one text

// Type arguments of Report: 1 error, 2 warning, anything else information.
inline constexpr uint16_t kReportError = 1;
inline constexpr uint16_t kReportWarning = 2;
inline constexpr uint16_t kReportInformation = 3;

inline constexpr size_t kReportTextChars = 20480;
inline constexpr size_t kReportErrorChars = 24575;

class CEventLog {
 public:
  CEventLog() = default;
  CEventLog(const CEventLog&) = delete;
  CEventLog& operator=(const CEventLog&) = delete;
  virtual ~CEventLog();  // deregisters a registered source

  // Registers the source under productName ("Zephyrquill Docuglimpse" when null or empty)
  // unless it is registered already. True when a source is registered afterwards.
  bool Register(const char* productName);
  // Deregisters the source when registered; the flag clears, the handle only on success.
  void Deregister();
  bool IsRegistered() const { return registered_ != 0; }

  // Writes one event with the texts up to the first null (at most six). 0 or the system error
  // code; 87 when no source is registered.
  DWORD Report(uint16_t type, uint16_t category, DWORD eventId, DWORD rawSize, const void* rawData,
               std::initializer_list<const char*> texts);

 private:
  HANDLE source_ = nullptr;
  DWORD registered_ = 0;
};

// The process's event log, owned by the settings host.
CEventLog& ProcessEventLog();

// Reports the formatted text (at most kReportTextChars) as event kEventIdText; an empty text
// reports nothing.
void ReportText(uint16_t type, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Reports "ERROR: <system text of code>. <formatted message>" as event kEventIdText.
void ReportError(DWORD code, uint16_t type, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace nexoral

#endif  // NEXORAL_DIAGNOSTICS_EVENT_LOG_H
