// The directory of an installation: where the module looks a request's user up. Two back ends
// answer the same subtree and base searches: an LDAP server reached with OpenLDAP's client
// library, and a directory held in memory, loaded from an LDIF file (for demonstrations and for
// installations without a directory server).
//
// Configuration: the file "Directory.conf" in the settings folder, lines "key = value", "#"
// starts a comment line. Keys:
//   uri                 ldap://host:port or ldaps://host:port of the server
//   bind_dn             the identity to bind as (simple bind); none: anonymous
//   bind_password_file  the file whose first line is the bind password (never logged)
//   base                the search base, the root of the global catalog; without it the
//                       server's defaultNamingContext, else its first namingContexts value
//   timeout_ms          time limit of a connect, a bind and a search (default 5000)
//   size_limit          most entries one search returns (default 100)
//   ldif                an LDIF file to answer from instead of a server
//   domain              the NetBIOS domain of the accounts; "domain\user" names of another
//                       domain are not found (none: the domain part is not checked)
// Relative file names start at the configuration file's folder. Without the file there is no
// directory and every lookup fails.
#ifndef NEXORAL_PLATFORM_DIRECTORY_H
#define NEXORAL_PLATFORM_DIRECTORY_H

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nexoral/win_types.h"

namespace nexoral::platform {

inline constexpr char kDirectoryConfigFileName[] = "Directory.conf";

struct DirectoryConfig {
  std::string uri;
  std::string bindDn;
  std::string bindPasswordFile;
  std::string base;
  int timeoutMs = 5000;
  int sizeLimit = 100;
  std::string ldif;
  std::string domain;
};

// Reads a configuration file. False with *error set for a file that cannot be read, an unknown
// key, a bad number or neither uri nor ldif.
bool ReadDirectoryConfig(const std::string& path, DirectoryConfig* config, std::string* error);

struct DirectoryAttribute {
  std::string name;
  std::vector<std::string> values;  // raw bytes (binary attributes stay binary)
};

struct DirectoryEntry {
  std::string dn;
  std::vector<DirectoryAttribute> attributes;
};

enum class DirectoryScope { kBase, kSubtree };

// Failures as HRESULTs: facility 7 with 0x2000 plus the LDAP result code, or 0x2100 plus the
// negated code of a client-side failure (server down 0x80072101, timeout 0x80072105).
HRESULT DirectoryResultCode(int ldapCode);
inline constexpr HRESULT kDirectoryNoSuchObject = static_cast<HRESULT>(0x80072020u);
inline constexpr HRESULT kDirectoryServerDown = static_cast<HRESULT>(0x80072101u);
inline constexpr HRESULT kDirectoryFilterError = static_cast<HRESULT>(0x80072107u);

class Directory {
 public:
  virtual ~Directory() = default;
  // Entries under base (kSubtree) or base itself (kBase) that match the RFC 4515 filter, with
  // the named attributes (all when none is named). 0, or a failure code above. Any thread.
  virtual HRESULT Search(const std::string& base, DirectoryScope scope, const std::string& filter,
                         const std::vector<std::string>& attributes,
                         std::vector<DirectoryEntry>* entries) = 0;
  // The root the searches start from.
  virtual HRESULT NamingContext(std::string* context) = 0;
  const DirectoryConfig& Config() const { return config_; }

 protected:
  explicit Directory(DirectoryConfig config) : config_(std::move(config)) {}
  DirectoryConfig config_;
};

// A directory for the configuration (an LDIF file is loaded now; a server is connected on the
// first search of each thread). Null with *error set when it cannot be made.
std::shared_ptr<Directory> OpenDirectory(const DirectoryConfig& config, std::string* error);

// The directory the lookups use; null when none is configured. Replaced directories stay alive
// until the process ends, so a pointer read here stays valid without a lock.
Directory* ProcessDirectory();
void SetProcessDirectory(std::shared_ptr<Directory> directory);

// value with "*", "(", ")", "\" and NUL written as "\2a", "\28", "\29", "\5c", "\00".
std::string EscapeFilterValue(std::string_view value);

// Binary security identifiers and GUIDs and their text forms ("S-1-5-21-...", braced GUIDs).
std::string SidText(std::string_view binary);
bool SidFromText(std::string_view text, std::string* binary);
std::string GuidText(std::string_view binary);

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_DIRECTORY_H
