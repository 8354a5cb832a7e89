// The registry's key files: paths, the text format, and the locked rewrite that replaces a file
// by rename.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ascii_text.h"
#include "platform/error_codes.h"
#include "platform/file_system.h"

namespace nexoral::platform {
namespace {

constexpr std::string_view kKeyFileSuffix = ".reg";
constexpr std::string_view kLockFileSuffix = ".lock";

// Closes the descriptor it holds when it goes.
class Descriptor {
 public:
  explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
  ~Descriptor() {
    if (descriptor_ >= 0) close(descriptor_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int Get() const { return descriptor_; }
  bool IsValid() const { return descriptor_ >= 0; }
  // Closes now; the errno of a failed close as a system error code.
  DWORD Close() {
    const int result = close(descriptor_);
    descriptor_ = -1;
    return result == 0 ? kErrorSuccess : ErrorCodeFromErrno(errno);
  }

 private:
  int descriptor_;
};

// The current errno as a system error code, never success: some calls fail without setting it.
DWORD LastFileError() {
  const DWORD code = ErrorCodeFromErrno(errno);
  return code == kErrorSuccess ? kErrorGenFailure : code;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// ---- Key paths ----------------------------------------------------------------------------

// The lower-cased components of a key path; false when the path names no key or a component
// is refused.
bool SplitKeyPath(const std::string& path, std::vector<std::string>* components) {
  std::string component;
  auto finish = [&]() {
    if (component.empty()) return true;
    const bool valid =
        component != "." && component != ".." && component.size() <= kMaxRegistryKeyNameLength &&
        !EndsWith(component, kKeyFileSuffix) && !EndsWith(component, kLockFileSuffix);
    components->push_back(std::move(component));
    component.clear();
    return valid;
  };
  for (char c : path) {
    if (c == '\\' || c == '/') {
      if (!finish()) return false;
    } else if (IsControl(c)) {
      return false;
    } else {
      component.push_back(LowerAscii(c));
    }
  }
  return finish() && !components->empty();
}

// Makes folder and its missing parents.
DWORD MakeFolders(const std::string& folder) {
  for (size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
    const std::string prefix = folder.substr(0, end);
    if (mkdir(prefix.c_str(), 0755) != 0) {
      if (errno != EEXIST) return LastFileError();
      struct stat status {};
      if (stat(prefix.c_str(), &status) != 0) return LastFileError();
      if (!S_ISDIR(status.st_mode)) return ErrorCodeFromErrno(ENOTDIR);
    }
    if (end == std::string::npos) return kErrorSuccess;
  }
}

// ---- The text format ----------------------------------------------------------------------

// One line of a key file. Lines that are not values (comments, blank lines) and values nobody
// changes are written back exactly as read.
struct KeyLine {
  std::string raw;
  bool isValue = false;
  std::string name;
  RegistryValue value;
};

bool IsValidValueName(std::string_view name) {
  if (name.empty() || name.size() > kMaxRegistryValueNameLength) return false;
  if (IsBlank(name.front()) || IsBlank(name.back())) return false;
  if (name.front() == ';' || name.front() == '#') return false;
  for (char c : name) {
    if (c == '=' || IsControl(c)) return false;
  }
  return true;
}

bool IsValidText(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

const char* TypeName(DWORD type) {
  switch (type) {
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_DWORD:
      return "REG_DWORD";
    default:
      return nullptr;
  }
}

DWORD TypeFromName(std::string_view name) {
  for (DWORD type : {REG_SZ, REG_EXPAND_SZ, REG_DWORD}) {
    if (EqualsIgnoreCase(name, TypeName(type))) return type;
  }
  return REG_NONE;
}

bool ParseNumber(std::string_view text, DWORD* number) {
  text = TrimBlanks(text);
  int base = 10;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *number, base);
  return error == std::errc() && end == text.data() + text.size();
}

// A value line without its line break; false when it is not one.
bool ParseValueLine(std::string_view line, KeyLine* parsed) {
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) return false;
  const std::string_view name = TrimBlanks(line.substr(0, equals));
  const std::string_view rest = line.substr(equals + 1);
  const size_t colon = rest.find(':');
  if (!IsValidValueName(name) || colon == std::string_view::npos) return false;
  const std::string_view data = rest.substr(colon + 1);
  RegistryValue value;
  value.type = TypeFromName(TrimBlanks(rest.substr(0, colon)));
  switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      if (!IsValidText(data)) return false;
      value.text = data;
      break;
    case REG_DWORD:
      if (!ParseNumber(data, &value.number)) return false;
      break;
    default:
      return false;
  }
  parsed->isValue = true;
  parsed->name = name;
  parsed->value = std::move(value);
  return true;
}

KeyLine* FindValue(std::vector<KeyLine>& lines, std::string_view name) {
  for (KeyLine& line : lines) {
    if (line.isValue && EqualsIgnoreCase(line.name, name)) return &line;
  }
  return nullptr;
}

// The lines of a key file's content; kErrorBadDatabase when one of them is malformed.
DWORD ParseKeyFile(std::string_view content, std::vector<KeyLine>* lines) {
  while (!content.empty()) {
    const size_t newline = content.find('\n');
    const std::string_view raw = content.substr(0, newline);
    content.remove_prefix(newline == std::string_view::npos ? content.size() : newline + 1);

    KeyLine line;
    line.raw = raw;
    std::string_view text = raw;
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (text.find('\0') != std::string_view::npos) return kErrorBadDatabase;
    const std::string_view trimmed = TrimBlanks(text);
    const bool isComment = trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#';
    if (!isComment) {
      if (!ParseValueLine(text, &line)) return kErrorBadDatabase;
      if (FindValue(*lines, line.name) != nullptr) return kErrorBadDatabase;
    }
    lines->push_back(std::move(line));
  }
  return kErrorSuccess;
}

std::string FormatValueLine(const std::string& name, const RegistryValue& value) {
  std::string line = name + "=" + TypeName(value.type) + ":";
  line += value.type == REG_DWORD ? std::to_string(value.number) : value.text;
  return line;
}

std::string FormatKeyFile(const std::vector<KeyLine>& lines) {
  std::string content;
  for (const KeyLine& line : lines) {
    content += line.raw;
    content += '\n';
  }
  return content;
}

// ---- Key files ----------------------------------------------------------------------------

// The whole key file. kErrorFileNotFound when it is missing, kErrorBadDatabase when it is not a
// regular file or too large. mode receives its permission bits when given.
DWORD ReadKeyFile(const std::string& file, std::string* content, mode_t* mode = nullptr) {
  Descriptor descriptor(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!descriptor.IsValid()) {
    return errno == ENOTDIR ? kErrorFileNotFound : LastFileError();
  }
  struct stat status {};
  if (fstat(descriptor.Get(), &status) != 0) return LastFileError();
  if (!S_ISREG(status.st_mode) || static_cast<size_t>(status.st_size) > kMaxRegistryFileSize) {
    return kErrorBadDatabase;
  }
  if (mode != nullptr) *mode = status.st_mode & 07777;
  // Read until the end, not just the size fstat saw: an administrator's editor may append
  // while we read (a writer of ours replaces the file, never grows it).
  content->clear();
  char chunk[16384];
  while (content->size() <= kMaxRegistryFileSize) {
    const ssize_t got = read(descriptor.Get(), chunk, sizeof(chunk));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return LastFileError();
    if (got == 0) return kErrorSuccess;
    content->append(chunk, static_cast<size_t>(got));
  }
  return kErrorBadDatabase;
}

// Writes content to a new file in folder and renames it over file. On failure the key file is
// untouched and the temporary file is gone.
DWORD ReplaceKeyFile(const std::string& folder, const std::string& file, const std::string& content,
                     mode_t mode) {
  std::string temporary = folder + "/." + FileNameOf(file) + ".XXXXXX";
  Descriptor descriptor(mkostemp(temporary.data(), O_CLOEXEC));
  if (!descriptor.IsValid()) return LastFileError();
  errno = 0;
  DWORD result = kErrorSuccess;
  if (fchmod(descriptor.Get(), mode) != 0 ||
      !WriteAll(descriptor.Get(), content.data(), content.size(), -1) ||
      fsync(descriptor.Get()) != 0) {
    result = LastFileError();
  }
  const DWORD closed = descriptor.Close();
  if (result == kErrorSuccess) result = closed;
  if (result == kErrorSuccess && rename(temporary.c_str(), file.c_str()) != 0) {
    result = LastFileError();
  }
  if (result != kErrorSuccess) {
    unlink(temporary.c_str());
    return result;
  }
  // The rename itself reaches the disk with the folder. Some file systems cannot sync a
  // folder; the new file is in place either way.
  Descriptor folderDescriptor(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folderDescriptor.IsValid()) fsync(folderDescriptor.Get());
  return kErrorSuccess;
}

// Holds an exclusive flock on a key's lock file for its lifetime.
class KeyLock {
 public:
  explicit KeyLock(const std::string& path)
      : descriptor_(open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644)) {
    if (!descriptor_.IsValid()) {
      result_ = LastFileError();
      return;
    }
    while (flock(descriptor_.Get(), LOCK_EX) != 0) {
      if (errno != EINTR) {
        result_ = LastFileError();
        return;
      }
    }
  }
  // Closing the descriptor releases the lock.
  DWORD Result() const { return result_; }

 private:
  Descriptor descriptor_;
  DWORD result_ = kErrorSuccess;
};

}  // namespace

std::string RegistryRoot() {
  const char* configured = std::getenv(kRegistryRootVariable);
  std::string root =
      configured != nullptr && configured[0] != '\0' ? configured : kDefaultRegistryRoot;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

DWORD RegistryKey::Open(const std::string& path, RegistryAccess access, RegistryKey* key) {
  std::vector<std::string> components;
  if (key == nullptr || !SplitKeyPath(path, &components)) return kErrorInvalidParameter;
  std::string folder = RegistryRoot();
  for (size_t i = 0; i + 1 < components.size(); ++i) {
    if (folder != "/") folder += '/';
    folder += components[i];
  }
  const std::string base = (folder == "/" ? folder : folder + "/") + components.back();
  const std::string file = base + std::string(kKeyFileSuffix);

  if (access == RegistryAccess::kRead) {
    struct stat status {};
    if (stat(file.c_str(), &status) != 0) {
      return errno == ENOENT || errno == ENOTDIR ? kErrorFileNotFound : LastFileError();
    }
    if (!S_ISREG(status.st_mode)) return kErrorBadDatabase;
  } else {
    const DWORD made = MakeFolders(folder);
    if (made != kErrorSuccess) return made;
    // Creating the key leaves an empty file: a key without values. An existing file is not
    // opened for writing, only the folder must be writable for the renames.
    Descriptor created(open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
    if (!created.IsValid()) return LastFileError();
    if (::access(folder.c_str(), W_OK | X_OK) != 0) return LastFileError();
  }
  key->path_ = path;
  key->folder_ = folder;
  key->file_ = file;
  key->lock_ = base + std::string(kLockFileSuffix);
  key->access_ = access;
  return kErrorSuccess;
}

DWORD RegistryKey::QueryValue(const std::string& name, RegistryValue* value) const {
  if (!IsOpen()) return kErrorInvalidHandle;
  if (value == nullptr || !IsValidValueName(name)) return kErrorInvalidParameter;
  std::string content;
  DWORD result = ReadKeyFile(file_, &content);
  if (result != kErrorSuccess) return result;
  std::vector<KeyLine> lines;
  result = ParseKeyFile(content, &lines);
  if (result != kErrorSuccess) return result;
  const KeyLine* found = FindValue(lines, name);
  if (found == nullptr) return kErrorFileNotFound;
  *value = found->value;
  return kErrorSuccess;
}

DWORD RegistryKey::SetTextValue(const std::string& name, const std::string& text, DWORD type) {
  if (!IsOpen()) return kErrorInvalidHandle;
  if (access_ != RegistryAccess::kWrite) return kErrorAccessDenied;
  if (!IsValidText(text) || (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return kErrorInvalidParameter;
  }
  const RegistryValue value{.type = type, .text = text};
  return Rewrite(name, &value);
}

DWORD RegistryKey::SetNumberValue(const std::string& name, DWORD number) {
  const RegistryValue value{.type = REG_DWORD, .number = number};
  return Rewrite(name, &value);
}

DWORD RegistryKey::DeleteValue(const std::string& name) { return Rewrite(name, nullptr); }

// Re-reads the key file under its lock, stores or removes the one value and writes the result
// back; nothing is written when the file is corrupt or the value to remove is absent.
DWORD RegistryKey::Rewrite(const std::string& name, const RegistryValue* value) {
  if (!IsOpen()) return kErrorInvalidHandle;
  if (access_ != RegistryAccess::kWrite) return kErrorAccessDenied;
  if (!IsValidValueName(name)) return kErrorInvalidParameter;

  KeyLock lock(lock_);
  if (lock.Result() != kErrorSuccess) return lock.Result();
  std::string content;
  mode_t mode = 0644;
  DWORD result = ReadKeyFile(file_, &content, &mode);
  if (result == kErrorFileNotFound) {
    content.clear();  // removed since it was opened: the write makes it again
  } else if (result != kErrorSuccess) {
    return result;
  }
  std::vector<KeyLine> lines;
  result = ParseKeyFile(content, &lines);
  if (result != kErrorSuccess) return result;

  KeyLine* line = FindValue(lines, name);
  if (value == nullptr) {
    if (line == nullptr) return kErrorFileNotFound;
    lines.erase(lines.begin() + (line - lines.data()));
  } else {
    // A new file names its key in a first comment line, for the administrator.
    if (lines.empty()) lines.push_back(KeyLine{.raw = "; " + path_});
    if (line == nullptr) line = &lines.emplace_back(KeyLine{.isValue = true, .name = name});
    line->raw = FormatValueLine(line->name, *value);
    line->value = *value;
  }
  const std::string updated = FormatKeyFile(lines);
  if (updated.size() > kMaxRegistryFileSize) return kErrorRegistryQuotaLimit;
  return ReplaceKeyFile(folder_, file_, updated, mode);
}

}  // namespace nexoral::platform
