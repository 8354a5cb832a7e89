// The plain writer: each line appended to the log file with the date and time.
#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "diagnostics/log_writers.h"
#include "platform/file_system.h"
#include "platform/module_names.h"

namespace nexoral {
namespace {

// A conversion tool loaded into the process keeps its log beside itself.
void TakeConvertToolFolder(LogState& state) {
  std::string toolPath;
  if (platform::IsModuleLoaded(platform::SharedObjectFileName("Convert"), &toolPath)) {
    state.logPath = platform::ParentFolder(toolPath) + "/ZQ_Log.txt";
  }
}

std::string PlainEntry(const char* text) {
  const time_t now = time(nullptr);
  char date[64];
  if (ctime_r(&now, date) == nullptr) date[0] = '\0';
  std::string entry = "\n\n ****  ";
  entry += date;
  entry += ' ';
  entry += text;
  return entry;
}

}  // namespace

void PlainLogWriter(const char* text) {
  UnderLogLock(text, [](LogState& state, const char* line) {
    if (state.firstUse) {
      state.firstUse = false;
      TakeConvertToolFolder(state);
    }
    if (!WriteBitSet(state)) return;
    const int file =
        platform::OpenCreatingFolders(state.logPath, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (file < 0) return;
    const std::string entry = PlainEntry(line);
    platform::WriteAll(file, entry.data(), entry.size(), -1);
    close(file);
  });
}

}  // namespace nexoral
