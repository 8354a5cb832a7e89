// Debugger output to the process's standard error.
#include "platform/debug_output.h"

#include <unistd.h>

#include <cstring>

namespace nexoral::platform {

void OutputDebugString(const char* text) noexcept {
  if (text == nullptr) return;
  // write(2) rather than stdio: this runs from unload handlers, after stdio may be gone.
  size_t remaining = std::strlen(text);
  while (remaining > 0) {
    const ssize_t written = ::write(STDERR_FILENO, text, remaining);
    if (written <= 0) return;
    text += written;
    remaining -= static_cast<size_t>(written);
  }
}

}  // namespace nexoral::platform
