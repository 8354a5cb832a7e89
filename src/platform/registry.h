// RegistryKey: the machine-wide settings store, one text file per key under RegistryRoot().
// Keys are opened by path and hold no file open: any thread or process may open and use keys
// at the same time, and every query re-reads the file, so an administrator's edit counts at once.
//
// Layout. A key path is split at "\" (or "/"); empty components are ignored and the others are
// compared ignoring ASCII case, so they are stored lower-cased. Key "Software\Zephyrquill\Setup"
// is the file <root>/software/zephyrquill/setup.reg; setup.lock beside it is its writers' lock.
// A component may not be "." or "..", hold a control character (NUL included), end in ".reg" or
// ".lock" (the store's own file names) or be longer than 200 bytes; such a path is refused (87).
//
// File format: text lines ending in LF (a CR before the LF is ignored).
//   ; a comment; so is a line whose first non-blank character is "#"; blank lines are kept too
//   CsmHash=REG_SZ:LDWwD
//   CachePath=REG_EXPAND_SZ:%NEXORAL_HOME%/cache
//   CsmRefreshInterval=REG_DWORD:15            decimal, or hexadecimal after 0x: 0xF
// The name ends at the first "=" and the type at the first ":" after it; blanks (spaces, tabs)
// around the name, the type and a number are ignored, type names ignore case. A text is
// everything after that ":" up to the end of the line, blanks included. Value names compare
// ignoring ASCII case and keep the spelling they were first written with; a name is 1 to 255
// bytes without "=" or control characters, does not start with ";" or "#" and neither starts nor
// ends with a blank. A number must fit 32 bits. Texts may not hold CR, LF or NUL.
//
// A corrupt file - a line that is none of the above, an unknown type, a name given twice, a NUL
// byte - or a file larger than kMaxRegistryFileSize makes every read of that key fail with
// kErrorBadDatabase (1009), and writes refuse to rewrite it, so nothing an administrator typed is
// lost: mending the file by hand mends the key. A write that would grow a file beyond the size
// limit fails with kErrorRegistryQuotaLimit (613) and leaves it as it was.
//
// Writes. A writer takes an exclusive flock on the key's lock file, re-reads the key file under
// it, changes the one value (every other line, comments included, stays as it was), writes the
// result to a temporary file in the same folder, fsyncs it and renames it over the key file.
// Readers take no lock: they open either the old file or the new one, never a half-written one,
// and writers of different values of one key never lose each other's value. A new file gets the
// mode 0644; a rewritten one keeps its mode. Lock files stay once made.
#ifndef NEXORAL_PLATFORM_REGISTRY_H
#define NEXORAL_PLATFORM_REGISTRY_H

#include <cstddef>
#include <string>

#include "nexoral/win_types.h"

namespace nexoral::platform {

inline constexpr char kRegistryRootVariable[] = "NEXORAL_REGISTRY_ROOT";
inline constexpr char kDefaultRegistryRoot[] = "/var/lib/nexoral/registry";

inline constexpr DWORD REG_NONE = 0, REG_SZ = 1, REG_EXPAND_SZ = 2, REG_DWORD = 4;

// A key file larger than this is corrupt, and no write makes one.
inline constexpr size_t kMaxRegistryFileSize = 1024 * 1024;
inline constexpr size_t kMaxRegistryKeyNameLength = 200;  // one component of a key path
inline constexpr size_t kMaxRegistryValueNameLength = 255;

// One value as read: text for REG_SZ and REG_EXPAND_SZ, number for REG_DWORD.
struct RegistryValue {
  DWORD type = REG_NONE;
  std::string text;
  DWORD number = 0;
};

enum class RegistryAccess {
  kRead,   // queries only; writes fail with kErrorAccessDenied
  kWrite,  // queries and writes; opening creates the key
};

class RegistryKey {
 public:
  // A key that is not open: every operation fails with kErrorInvalidHandle (6).
  RegistryKey() = default;

  // kRead: 2 (file not found) when the key does not exist. kWrite: creates the key (and its
  // folders) when missing. 0 on success; 87 for a refused path or a null key; otherwise the
  // system error of the file operation that failed.
  static DWORD Open(const std::string& path, RegistryAccess access, RegistryKey* key);

  bool IsOpen() const { return !file_.empty(); }

  // 2 when the value (or by now the key) is absent; 1009 when the key file is corrupt.
  DWORD QueryValue(const std::string& name, RegistryValue* value) const;
  // Creates or replaces the value. type is REG_SZ or REG_EXPAND_SZ (87 otherwise).
  DWORD SetTextValue(const std::string& name, const std::string& text, DWORD type = REG_SZ);
  DWORD SetNumberValue(const std::string& name, DWORD number);
  // 2 when the value is absent.
  DWORD DeleteValue(const std::string& name);

 private:
  // Stores value under name, or removes the value when value is null.
  DWORD Rewrite(const std::string& name, const RegistryValue* value);

  std::string path_;    // as the opener spelled it; names the key in a new file's first line
  std::string folder_;  // <root>/software/zephyrquill
  std::string file_;    // <folder>/setup.reg
  std::string lock_;    // <folder>/setup.lock
  RegistryAccess access_ = RegistryAccess::kRead;
};

// The folder keys live in: $NEXORAL_REGISTRY_ROOT when set and not empty, else
// kDefaultRegistryRoot; without trailing slashes. Read again at every Open.
std::string RegistryRoot();

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_REGISTRY_H
