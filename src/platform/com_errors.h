// The exception types that component calls and workers throw, standing in for the COM error
// and the ATL exception of the component model. Each carries an HRESULT. Any code may throw
// them; the notification steps and component clients catch them at their boundaries.
#ifndef NEXORAL_PLATFORM_COM_ERRORS_H
#define NEXORAL_PLATFORM_COM_ERRORS_H

#include <string>

#include "nexoral/win_types.h"
#include "platform/error_text.h"

namespace nexoral {

// A failed component call: the HRESULT and its system message.
class _com_error {
 public:
  explicit _com_error(HRESULT hr) noexcept : hr_(hr) {}
  virtual ~_com_error() = default;

  HRESULT Error() const noexcept { return hr_; }
  // The system message of the HRESULT; "Unknown error 0x%08X" when there is none.
  std::string ErrorMessage() const;

 private:
  HRESULT hr_;
};

// A failure raised by the component helpers' own checks.
class CAtlException {
 public:
  explicit CAtlException(HRESULT hr) noexcept : m_hr(hr) {}
  virtual ~CAtlException() = default;

  operator HRESULT() const noexcept { return m_hr; }

  HRESULT m_hr;
};

[[noreturn]] inline void AtlThrow(HRESULT hr) { throw CAtlException(hr); }

}  // namespace nexoral

#endif  // NEXORAL_PLATFORM_COM_ERRORS_H
