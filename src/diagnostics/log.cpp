// Formatting of log lines and the log's switch, writer and lock.
#include "diagnostics/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <string>

#include "diagnostics/log_state.h"
#include "diagnostics/log_writers.h"
#include "platform/debug_output.h"
#include "platform/error_text.h"

namespace nexoral {
namespace {

// Stands in for the message box that tells whoever watches the process.
void ReportLoggingFailure() noexcept {
  platform::OutputDebugString("An error occurred while logging\n");
}

bool LogIsOff() {
  return ProcessLogState().logSwitch.load(std::memory_order_relaxed) == kLogSwitchOff;
}

void HandToWriter(const char* line) noexcept {
  try {
    CurrentLogWriter()(line);
  } catch (...) {
    ReportLoggingFailure();
  }
}

}  // namespace

void Log(const char* format, ...) {
  if (LogIsOff() || format == nullptr) return;
  char line[kLogLineChars + 1];
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  if (written < 0) {
    ReportLoggingFailure();
    return;
  }
  HandToWriter(line);
}

void LogError(DWORD code, const char* format, ...) {
  if (LogIsOff() || format == nullptr) return;
  char message[kLogErrorMessageChars + 1];
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  if (written < 0) message[0] = '\0';

  char systemText[kLogErrorTextChars + 1];
  std::snprintf(systemText, sizeof(systemText), "%s", SystemErrorText(code).c_str());
  for (char* c = systemText; *c != '\0'; ++c) {
    if (*c == '\r' || *c == '\n') *c = ' ';
  }

  char line[kLogLineChars + 1];
  std::snprintf(line, sizeof(line), "%s   %s", message, systemText);
  HandToWriter(line);
}

int LogSwitch() { return ProcessLogState().logSwitch.load(std::memory_order_relaxed); }
void SetLogSwitch(int value) {
  ProcessLogState().logSwitch.store(value, std::memory_order_relaxed);
}
LogWriter CurrentLogWriter() {
  const LogWriter writer = ProcessLogState().writer.load(std::memory_order_acquire);
  return writer != nullptr ? writer : PlainLogWriter;
}
void SetLogWriter(LogWriter writer) {
  ProcessLogState().writer.store(writer, std::memory_order_release);
}
CSync* LogLock() { return ProcessLogState().logLock.load(std::memory_order_acquire); }
void SetLogLock(CSync* lock) { ProcessLogState().logLock.store(lock, std::memory_order_release); }

}  // namespace nexoral
