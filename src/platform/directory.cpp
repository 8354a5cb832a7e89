// The directory's configuration, the process-wide directory, filter escaping and the text forms
// of binary identifiers. The back ends live in directory_ldap.cpp and directory_ldif.cpp.
#include "platform/directory.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>

#include "platform/directory_backends.h"

namespace nexoral::platform {
namespace {

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool ReadNumber(const std::string& text, int low, int high, int* value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *value = std::stoi(text);
  return *value >= low && *value <= high;
}

}  // namespace

bool ReadDirectoryConfig(const std::string& path, DirectoryConfig* config, std::string* error) {
  std::ifstream file(path);
  if (!file) {
    *error = "cannot read " + path;
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  auto fileName = [&folder](const std::string& name) {
    return name.empty() || name[0] == '/' ? name : folder + name;
  };
  *config = DirectoryConfig();
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    const size_t equals = line.find('=');
    const std::string key = Trim(line.substr(0, equals));
    const std::string value = equals == std::string::npos ? std::string() : Trim(line.substr(equals + 1));
    bool good = equals != std::string::npos;
    if (!good) {
    } else if (key == "uri") {
      config->uri = value;
    } else if (key == "bind_dn") {
      config->bindDn = value;
    } else if (key == "bind_password_file") {
      config->bindPasswordFile = fileName(value);
    } else if (key == "base") {
      config->base = value;
    } else if (key == "timeout_ms") {
      good = ReadNumber(value, 1, 600000, &config->timeoutMs);
    } else if (key == "size_limit") {
      good = ReadNumber(value, 1, 100000, &config->sizeLimit);
    } else if (key == "ldif") {
      config->ldif = fileName(value);
    } else if (key == "domain") {
      config->domain = value;
    } else {
      good = false;
    }
    if (!good) {
      *error = path + " line " + std::to_string(number) + ": not understood: " + key;
      return false;
    }
  }
  if (config->uri.empty() == config->ldif.empty()) {
    *error = path + ": give either uri or ldif";
    return false;
  }
  return true;
}

HRESULT DirectoryResultCode(int ldapCode) {
  if (ldapCode == 0) return 0;
  const unsigned code = ldapCode > 0 ? 0x2000u + (static_cast<unsigned>(ldapCode) & 0xFFu)
                                     : 0x2100u + (static_cast<unsigned>(-ldapCode) & 0xFFu);
  return static_cast<HRESULT>(0x80070000u | code);
}

std::shared_ptr<Directory> OpenDirectory(const DirectoryConfig& config, std::string* error) {
  return config.ldif.empty() ? MakeLdapDirectory(config, error) : MakeLdifDirectory(config, error);
}

namespace {
std::atomic<Directory*> g_directory{nullptr};
std::mutex g_directoriesLock;  // guards the owners below, never taken by a lookup
std::vector<std::shared_ptr<Directory>>& Owners() {
  static auto* owners = new std::vector<std::shared_ptr<Directory>>();
  return *owners;
}
}  // namespace

Directory* ProcessDirectory() { return g_directory.load(std::memory_order_acquire); }

void SetProcessDirectory(std::shared_ptr<Directory> directory) {
  std::lock_guard<std::mutex> guard(g_directoriesLock);
  g_directory.store(directory.get(), std::memory_order_release);
  if (directory) Owners().push_back(std::move(directory));
}

std::string EscapeFilterValue(std::string_view value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (const char c : value) {
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
      char hex[4];
      std::snprintf(hex, sizeof hex, "\\%02x", static_cast<unsigned char>(c));
      escaped += hex;
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string SidText(std::string_view binary) {
  if (binary.size() < 8 || binary.size() != 8 + 4 * static_cast<size_t>(static_cast<uint8_t>(binary[1]))) {
    return {};
  }
  const auto byte = [&binary](size_t at) { return static_cast<uint64_t>(static_cast<uint8_t>(binary[at])); };
  uint64_t authority = 0;
  for (size_t i = 2; i < 8; ++i) authority = authority << 8 | byte(i);
  std::string text = "S-" + std::to_string(byte(0)) + "-" + std::to_string(authority);
  for (size_t at = 8; at < binary.size(); at += 4) {
    text += "-" + std::to_string(byte(at) | byte(at + 1) << 8 | byte(at + 2) << 16 | byte(at + 3) << 24);
  }
  return text;
}

bool SidFromText(std::string_view text, std::string* binary) {
  if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return false;
  std::vector<uint64_t> parts;
  for (size_t at = 2; at <= text.size();) {
    size_t end = text.find('-', at);
    if (end == std::string_view::npos) end = text.size();
    if (end == at || end - at > 15) return false;
    uint64_t part = 0;
    for (size_t i = at; i < end; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      part = part * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    parts.push_back(part);
    at = end + 1;
  }
  if (parts.size() < 2 || parts.size() > 17 || parts[0] > 255 || parts[1] >= (uint64_t{1} << 48)) {
    return false;
  }
  binary->assign(1, static_cast<char>(parts[0]));
  *binary += static_cast<char>(parts.size() - 2);
  for (int shift = 40; shift >= 0; shift -= 8) *binary += static_cast<char>(parts[1] >> shift);
  for (size_t i = 2; i < parts.size(); ++i) {
    if (parts[i] > 0xFFFFFFFFu) return false;
    for (int shift = 0; shift < 32; shift += 8) *binary += static_cast<char>(parts[i] >> shift);
  }
  return true;
}

std::string GuidText(std::string_view binary) {
  if (binary.size() != 16) return {};
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string text = "{";
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(binary[kOrder[i]]));
    text += hex;
  }
  return text + "}";
}

}  // namespace nexoral::platform
