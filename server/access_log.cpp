// Access-log lines.
#include "access_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace nexoral::server {
namespace {

// Request text comes from the network: quotes, backslashes and controls are escaped so that a
// line always stays one line that log tools can split.
std::string Escaped(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      escaped.push_back('\\');
      escaped.push_back(c);
    } else if (byte < 0x20 || byte >= 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof(hex), "\\x%02x", byte);
      escaped.append(hex);
    } else {
      escaped.push_back(c);
    }
  }
  return escaped;
}

std::string OrDash(const std::string& text) { return text.empty() ? "-" : Escaped(text); }

}  // namespace

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

AccessLog::~AccessLog() {
  if (ownsFd_) ::close(fd_);
}

std::string AccessLog::Format(const AccessRecord& record,
                              std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&seconds, &local);
  char time[64];
  std::strftime(time, sizeof(time), "%d/%b/%Y:%H:%M:%S %z", &local);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(record.duration).count();
  return OrDash(record.remoteAddress) + " - " + OrDash(record.user) + " [" + time + "] \"" +
         Escaped(record.method) + " " + Escaped(record.target) + " HTTP/" +
         std::to_string(record.version / 10) + "." + std::to_string(record.version % 10) + "\" " +
         (record.status == 0 ? std::string("-") : std::to_string(record.status)) + " " +
         std::to_string(record.bytesSent) + " " + std::to_string(millis);
}

void AccessLog::Write(const AccessRecord& record) const {
  if (fd_ < 0) return;
  const std::string line = Format(record, std::chrono::system_clock::now()) + "\n";
  // A failed log write must not fail the request; there is nowhere better to report it.
  [[maybe_unused]] const ssize_t written = ::write(fd_, line.data(), line.size());
}

}  // namespace nexoral::server
