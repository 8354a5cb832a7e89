// The plain writer: each line appended to the log file with the date and time.
//
// The file stays open between lines, so that a line costs one write. It is opened again when
// the log path changes, when a write fails, and when the path no longer names it (the file was
// deleted, or renamed away by a log rotation): that is looked at once a second at most, by the
// device and inode of the path and of the open file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <string>

#include "diagnostics/log_module_api.h"
#include "diagnostics/log_writers.h"
#include "platform/file_system.h"
#include "platform/module_names.h"

namespace nexoral {
namespace {

constexpr int64_t kFileCheckIntervalMs = 1000;

// A conversion tool loaded into the process keeps its log beside itself.
void TakeConvertToolFolder(LogState& state) {
  std::string toolPath;
  if (platform::IsModuleLoaded(platform::SharedObjectFileName("Convert"), &toolPath)) {
    state.logPath = platform::ParentFolder(toolPath) + "/ZQ_Log.txt";
  }
}

// The monotonic clock is read without entering the kernel.
int64_t MonotonicMilliseconds() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
}

bool PathNamesOpenFile(const LogState& state) {
  struct stat atPath {};
  struct stat open {};
  return stat(state.logPath.c_str(), &atPath) == 0 && fstat(state.plainFile, &open) == 0 &&
         atPath.st_dev == open.st_dev && atPath.st_ino == open.st_ino;
}

// The file at the log path, open for appending; false when it cannot be opened.
bool PlainFileReady(LogState& state) {
  const int64_t now = MonotonicMilliseconds();
  if (state.plainFile >= 0 && state.plainFilePath == state.logPath) {
    if (now < state.plainFileCheckDue) return true;
    state.plainFileCheckDue = now + kFileCheckIntervalMs;
    if (PathNamesOpenFile(state)) return true;
  }
  ClosePlainLog(state);
  state.plainFile = OpenLogFile(state.logPath, O_WRONLY | O_APPEND);
  if (state.plainFile < 0) return false;
  state.plainFilePath = state.logPath;
  state.plainFileCheckDue = now + kFileCheckIntervalMs;
  return true;
}

void FormatPlainEntry(std::string& entry, const char* text) {
  const time_t now = time(nullptr);
  char date[64];
  if (ctime_r(&now, date) == nullptr) date[0] = '\0';
  entry.assign("\n\n ****  ");
  entry += date;
  entry += ' ';
  entry += text;
}

}  // namespace

int OpenLogFile(const std::string& path, int flags) {
  const mode_t mode = LogFileMode();
  int file = platform::OpenCreatingFolders(path, flags | O_CREAT | O_EXCL, mode);
  if (file >= 0) {
    fchmod(file, mode);
    return file;
  }
  if (errno != EEXIST) return -1;
  file = open(path.c_str(), (flags & ~O_CREAT) | O_CLOEXEC);
  struct stat status {};
  if (file >= 0 && fstat(file, &status) == 0 && (status.st_mode & 0777 & ~mode) != 0) {
    fchmod(file, status.st_mode & mode & 0777);
  }
  return file;
}

void PlainLogWriter(const char* text) {
  UnderLogLock(text, [](LogState& state, const char* line) {
    if (state.firstUse) {
      state.firstUse = false;
      TakeConvertToolFolder(state);
    }
    if (!WriteBitSet(state) || !PlainFileReady(state)) return;
    FormatPlainEntry(state.plainEntry, line);
    if (!platform::WriteAll(state.plainFile, state.plainEntry.data(), state.plainEntry.size(),
                            -1)) {
      ClosePlainLog(state);  // the next line opens the file again
    }
  });
}

void ClosePlainLog(LogState& state) {
  if (state.plainFile >= 0) close(state.plainFile);
  state.plainFile = -1;
  state.plainFilePath.clear();
}

}  // namespace nexoral
