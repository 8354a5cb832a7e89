// Message texts of the error codes that this system produces or receives.
#include "platform/error_text.h"

#include <array>
#include <cstring>
#include <utility>

namespace nexoral {
namespace {

// Texts worded as administrators see them in the logs of the web-mail front end.
constexpr std::array<std::pair<DWORD, const char*>, 22> kMessages{{
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {32, "The process cannot access the file because it is being used by another process."},
    {87, "The parameter is incorrect."},
    {122, "The data area passed to a system call is too small."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {183, "Cannot create a file when that file already exists."},
    {232, "The pipe is being closed."},
    {1008, "An attempt was made to reference a token that does not exist."},
    {1168, "Element not found."},
    {1413, "Invalid index."},
    {0x80004001u, "Not implemented"},
    {0x80004005u, "Unspecified error"},
    {0x8000FFFFu, "Catastrophic failure"},
}};

const char* FindMessage(DWORD code) {
  for (const auto& [known, text] : kMessages) {
    if (known == code) return text;
  }
  return nullptr;
}

}  // namespace

std::string SystemErrorText(DWORD code) {
  if (const char* text = FindMessage(code)) return text;
  // An HRESULT of facility 7 wraps a system error code.
  if ((code & 0xFFFF0000u) == 0x80070000u) {
    if (const char* text = FindMessage(code & 0xFFFFu)) return text;
  }
  return std::string();
}

}  // namespace nexoral
