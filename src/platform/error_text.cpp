// Message texts of the error codes that this system produces or receives.
#include "platform/error_text.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

namespace nexoral {
namespace {

// Texts worded as administrators see them in the logs of the web-mail front end.
constexpr std::array<std::pair<DWORD, const char*>, 32> kMessages{{
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {122, "The data area passed to a system call is too small."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {232, "The pipe is being closed."},
    {613, "A registry key file would grow beyond its size limit."},
    {1009, "The configuration registry database is corrupt."},
    {1355, "The specified domain either does not exist or could not be contacted."},
    {1722, "The RPC server is unavailable."},
    {1813, "The specified resource type cannot be found in the image file."},
    {1008, "An attempt was made to reference a token that does not exist."},
    {1168, "Element not found."},
    {1450, "Insufficient system resources exist to complete the requested service."},
    {1413, "Invalid index."},
    {0x80004001u, "Not implemented"},
    {0x80004005u, "Unspecified error"},
    {0x80070057u, "The parameter is incorrect."},
    {0x8000FFFFu, "Catastrophic failure"},
}};

const char* FindMessage(DWORD code) {
  for (const auto& [known, text] : kMessages) {
    if (known == code) return text;
  }
  return nullptr;
}

// The C library's text for codes outside the table; empty when it has none.
std::string LibraryErrorText(DWORD code) {
  if (code == 0 || code > 4095) return std::string();
  char buffer[256];
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof(buffer));
  if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) return std::string();
  return text;
}

}  // namespace

std::string SystemErrorText(DWORD code) {
  if (const char* text = FindMessage(code)) return text;
  // An HRESULT of facility 7 wraps a system error code.
  if ((code & 0xFFFF0000u) == 0x80070000u) {
    if (const char* text = FindMessage(code & 0xFFFFu)) return text;
  }
  return LibraryErrorText(code);
}

}  // namespace nexoral
