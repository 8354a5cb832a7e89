// The system's message text for an error code or HRESULT, as log lines and event reports
// append it. Thread-safe; returns a copy.
#ifndef NEXORAL_PLATFORM_ERROR_TEXT_H
#define NEXORAL_PLATFORM_ERROR_TEXT_H

#include <string>

#include "nexoral/win_types.h"

namespace nexoral {

// The message for a system error code, or for an HRESULT (a facility-7 HRESULT gives its system
// error's text). Codes this system does not name get the C library's text for that number;
// empty when there is none.
std::string SystemErrorText(DWORD code);

}  // namespace nexoral

#endif  // NEXORAL_PLATFORM_ERROR_TEXT_H
