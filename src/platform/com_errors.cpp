// Message text of component errors.
#include "platform/com_errors.h"

#include <cstdio>

namespace nexoral {

std::string _com_error::ErrorMessage() const {
  std::string text = SystemErrorText(static_cast<DWORD>(hr_));
  if (!text.empty()) return text;
  char fallback[32];
  std::snprintf(fallback, sizeof(fallback), "Unknown error 0x%08X", static_cast<unsigned>(hr_));
  return fallback;
}

}  // namespace nexoral
