// Formatting of log lines and the log's switch, writer and lock.
#include "diagnostics/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <string>

#include "platform/debug_output.h"
#include "platform/error_text.h"

namespace nexoral {
namespace {

void DropLine(const char*) {}

std::atomic<int> logSwitch{kLogSwitchOff};
std::atomic<LogWriter> logWriter{DropLine};
std::atomic<CSync*> logLock{nullptr};

void ReportLoggingFailure() noexcept {
  platform::OutputDebugString("An error occurred while logging\n");
}

void HandToWriter(const char* line) noexcept {
  try {
    logWriter.load(std::memory_order_acquire)(line);
  } catch (...) {
    ReportLoggingFailure();
  }
}

}  // namespace

void Log(const char* format, ...) {
  if (logSwitch.load(std::memory_order_relaxed) == kLogSwitchOff || format == nullptr) return;
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
  if (logSwitch.load(std::memory_order_relaxed) == kLogSwitchOff || format == nullptr) return;
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

int LogSwitch() { return logSwitch.load(std::memory_order_relaxed); }
void SetLogSwitch(int value) { logSwitch.store(value, std::memory_order_relaxed); }
LogWriter CurrentLogWriter() { return logWriter.load(std::memory_order_acquire); }
void SetLogWriter(LogWriter writer) {
  logWriter.store(writer != nullptr ? writer : DropLine, std::memory_order_release);
}
CSync* LogLock() { return logLock.load(std::memory_order_acquire); }
void SetLogLock(CSync* lock) { logLock.store(lock, std::memory_order_release); }

}  // namespace nexoral
