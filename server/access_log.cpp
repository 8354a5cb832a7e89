// Access-log lines and their per-thread buffers.
#include "access_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace nexoral::server {
namespace {

// Request text comes from the network: quotes, backslashes and controls are escaped so that a
// line always stays one line that log tools can split.
void AppendEscaped(std::string& line, const std::string& text) {
  constexpr char kHex[] = "0123456789abcdef";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      line.push_back('\\');
      line.push_back(c);
    } else if (byte < 0x20 || byte >= 0x7F) {
      const char escaped[] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
      line.append(escaped, sizeof(escaped));
    } else {
      line.push_back(c);
    }
  }
}

void AppendOrDash(std::string& line, const std::string& text) {
  if (text.empty()) {
    line.push_back('-');
  } else {
    AppendEscaped(line, text);
  }
}

void AppendNumber(std::string& line, uint64_t number) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof(digits), number);
  line.append(digits, result.ptr);
}

// "06/Dec/2024:07:29:01 +0000" into time; its length.
size_t FormatTime(std::time_t seconds, char (&time)[64]) {
  std::tm local{};
  localtime_r(&seconds, &local);
  return std::strftime(time, sizeof(time), "%d/%b/%Y:%H:%M:%S %z", &local);
}

void AppendLine(std::string& line, const AccessRecord& record, std::string_view time) {
  AppendOrDash(line, record.remoteAddress);
  line.append(" - ");
  AppendOrDash(line, record.user);
  line.append(" [").append(time).append("] \"");
  AppendEscaped(line, record.method);
  line.push_back(' ');
  AppendEscaped(line, record.target);
  line.append(" HTTP/");
  AppendNumber(line, record.version / 10);
  line.push_back('.');
  AppendNumber(line, record.version % 10);
  line.append("\" ");
  if (record.status == 0) {
    line.push_back('-');
  } else {
    AppendNumber(line, record.status);
  }
  line.push_back(' ');
  AppendNumber(line, record.bytesSent);
  line.push_back(' ');
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(record.duration).count();
  AppendNumber(line, millis < 0 ? 0 : static_cast<uint64_t>(millis));
}

std::atomic<uint64_t> nextLogId{1};  // 0: none

}  // namespace

struct AccessLog::ThreadBuffer {
  explicit ThreadBuffer(std::thread::id thread) : owner(thread) { lines.reserve(2 * kFlushBytes); }

  // The time text of a line written at when; formatted again only when the second changes.
  std::string_view TimeAt(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    if (seconds != second) {
      timeLength = FormatTime(seconds, time);
      second = seconds;
    }
    return {time, timeLength};
  }

  const std::thread::id owner;
  std::mutex mutex;  // the owning thread's lines, and Flush
  std::string lines;
  std::time_t second = -1;
  char time[64] = {};
  size_t timeLength = 0;
};

struct AccessLog::Buffers {
  const uint64_t id = nextLogId.fetch_add(1, std::memory_order_relaxed);
  std::mutex registry;  // threads: taken at a thread's first line and by Flush
  std::vector<std::unique_ptr<ThreadBuffer>> threads;
  std::mutex output;  // one write at a time, so that lines never mix
};

AccessLog::AccessLog() : buffers_(std::make_unique<Buffers>()) {}

AccessLog::~AccessLog() {
  Flush();
  if (ownsFd_) ::close(fd_);
}

bool AccessLog::Open(const std::string& path, std::string* reason) {
  if (path.empty()) return true;
  if (path == "-") {
    fd_ = STDOUT_FILENO;
    return true;
  }
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd_ < 0) {
    *reason = path + ": " + std::strerror(errno);
    return false;
  }
  ownsFd_ = true;
  return true;
}

AccessLog::ThreadBuffer& AccessLog::BufferOfThisThread() const {
  // The buffer this thread last wrote into, and the log it belongs to.
  thread_local struct {
    uint64_t logId;
    ThreadBuffer* buffer;
  } cached{0, nullptr};
  if (cached.logId == buffers_->id) return *cached.buffer;
  std::lock_guard<std::mutex> guard(buffers_->registry);
  const std::thread::id self = std::this_thread::get_id();
  ThreadBuffer* buffer = nullptr;
  for (const auto& thread : buffers_->threads) {
    if (thread->owner == self) buffer = thread.get();
  }
  if (buffer == nullptr) {
    buffers_->threads.push_back(std::make_unique<ThreadBuffer>(self));
    buffer = buffers_->threads.back().get();
  }
  cached = {buffers_->id, buffer};
  return *buffer;
}

void AccessLog::Write(const AccessRecord& record) const {
  if (fd_ < 0) return;
  const auto now = std::chrono::system_clock::now();
  ThreadBuffer& buffer = BufferOfThisThread();
  std::lock_guard<std::mutex> guard(buffer.mutex);
  AppendLine(buffer.lines, record, buffer.TimeAt(now));
  buffer.lines.push_back('\n');
  if (buffer.lines.size() >= kFlushBytes) WriteOut(buffer.lines);
}

void AccessLog::Flush() const {
  if (fd_ < 0) return;
  std::lock_guard<std::mutex> registered(buffers_->registry);
  for (const auto& thread : buffers_->threads) {
    std::lock_guard<std::mutex> guard(thread->mutex);
    if (!thread->lines.empty()) WriteOut(thread->lines);
  }
}

void AccessLog::WriteOut(std::string& lines) const {
  {
    std::lock_guard<std::mutex> guard(buffers_->output);
    const char* next = lines.data();
    size_t left = lines.size();
    while (left > 0) {
      const ssize_t written = ::write(fd_, next, left);
      if (written < 0 && errno == EINTR) continue;
      // A failed log write must not fail a request; there is nowhere better to report it, and
      // the lines go rather than pile up.
      if (written <= 0) break;
      next += written;
      left -= static_cast<size_t>(written);
    }
  }
  lines.clear();
}

}  // namespace nexoral::server
