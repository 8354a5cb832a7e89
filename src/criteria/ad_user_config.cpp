// Directory lookups of a request's user over the installation's directory (platform/directory.h).
// Every value put into a filter is escaped: the mailbox key comes from a request header that any
// client can send, and an unescaped "*)(" would widen the search to other users.
#include "criteria/ad_user_config.h"

#include <atomic>
#include <ctime>
#include <exception>
#include <optional>
#include <sys/stat.h>

#include "diagnostics/event_log.h"
#include "diagnostics/log.h"
#include "platform/ascii_text.h"
#include "platform/directory.h"
#include "platform/error_codes.h"
#include "platform/thread_token.h"

namespace nexoral {
namespace {

constexpr int32_t kModeUnknown = 3;
constexpr size_t kFilterChars = 518;  // longest filter searched; longer ones are cut
constexpr HRESULT kNoDirectory = HresultFromWin32(1355);  // no domain could be contacted
constexpr HRESULT kNameNotFound = HresultFromWin32(8470);
constexpr HRESULT kNameNotUnique = HresultFromWin32(8471);
constexpr HRESULT kPropertyNotFound = static_cast<HRESULT>(0x8000500Du);

std::atomic<int32_t> g_rememberedMode{kModeUnknown};

unsigned Hex(HRESULT hr) { return static_cast<unsigned>(hr); }

class TADProp : public ADProp {
 public:
  explicit TADProp(std::string text) : text_(std::move(text)) {}
  const std::string& Text() const override { return text_; }
  void CopyTo(std::string& out) const override { out = text_; }

 private:
  std::string text_;
};

bool SameName(std::string_view a, std::string_view b) { return platform::EqualsIgnoreCase(a, b); }

bool IsSidAttribute(const std::string& name) {
  return SameName(name, "objectSid") || SameName(name, "msExchMasterAccountSid") ||
         SameName(name, "sIDHistory");
}

bool IsTimeAttribute(const std::string& name) {
  for (const char* time : {"accountExpires", "badPasswordTime", "lastLogon", "lastLogoff",
                           "lockoutTime", "pwdLastSet"}) {
    if (SameName(name, time)) return true;
  }
  return false;
}

// A 100-nanosecond count since 1601 as local time; empty for zero (no value).
std::string TimeText(const std::string& value) {
  char* end = nullptr;
  const long long ticks = std::strtoll(value.c_str(), &end, 10);
  if (end == value.c_str() || *end != '\0') return value;
  if (ticks == 0) return {};
  if (ticks == 0x7FFFFFFFFFFFFFFFLL || ticks == -1) return "  Never Expires";
  const time_t seconds = static_cast<time_t>(ticks / 10000000 - 11644473600LL);
  tm local{};
  char text[32];
  if (localtime_r(&seconds, &local) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    return value;
  }
  return text;
}

std::string ValueText(const std::string& attribute, const std::string& value) {
  if (IsSidAttribute(attribute)) return platform::SidText(value);
  if (SameName(attribute, "objectGUID") || SameName(attribute, "msExchMailboxGUID")) {
    return platform::GuidText(value);
  }
  if (IsTimeAttribute(attribute)) return TimeText(value);
  return value;
}

// A SID key goes into the filter as its binary form, escaped byte for byte; other keys as text.
std::string SidKey(const std::string& value) {
  std::string binary;
  if (!platform::SidFromText(value, &binary)) return platform::EscapeFilterValue(value);
  std::string escaped;
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char byte : binary) {
    escaped += '\\';
    escaped += kHex[static_cast<unsigned char>(byte) >> 4];
    escaped += kHex[static_cast<unsigned char>(byte) & 15];
  }
  return escaped;
}

}  // namespace

CADUserConfig::CADUserConfig() = default;
CADUserConfig::~CADUserConfig() = default;

int32_t CADUserConfig::RememberedMode() { return g_rememberedMode.load(std::memory_order_relaxed); }
void CADUserConfig::SetRememberedMode(int32_t mode) { g_rememberedMode.store(mode, std::memory_order_relaxed); }

void CADUserConfig::SetSearchKey(const std::string& value, int kind) {
  const std::string escaped = platform::EscapeFilterValue(value);
  switch (kind) {
    case kSearchPrincipalName: searchKey = "(userPrincipalName=" + escaped + ")"; break;
    case kSearchName: searchKey = "(name=" + escaped + ")"; break;
    case kSearchSmtpAddress: searchKey = "(proxyAddresses=*SMTP:" + escaped + "*)"; break;
    case kSearchLegacyDn: searchKey = "(legacyExchangeDN=" + escaped + ")"; break;
    case kSearchX500Address: searchKey = "(proxyAddresses=*x500:" + escaped + "*)"; break;
    case kSearchSid: searchKey = "(ObjectSID=" + SidKey(value) + ")"; break;
    case kSearchSidOrMasterSid: {
      const std::string sid = SidKey(value);
      searchKey = "(|(ObjectSID=" + sid + ")(msExchMasterAccountSid=" + sid + "))";
      break;
    }
    default: searchKey = "(sAMAccountName=" + escaped + ")"; break;
  }
}

HRESULT CADUserConfig::ReadDefaultNamingContext() {
  platform::Directory* directory = platform::ProcessDirectory();
  if (directory == nullptr) {
    Log("COWAADConfig::ReadDefaultNamingContext() failed to connect hr: 0x%x", Hex(kNoDirectory));
    return kNoDirectory;
  }
  const HRESULT hr = directory->NamingContext(&namingContext);
  if (Failed(hr)) {
    Log("COWAADConfig::ReadDefaultNamingContext() failed to get defaultNamingContext hr: 0x%x", Hex(hr));
    return hr;
  }
  if (namingContext.empty()) {
    Log("COWAADConfig::ReadDefaultNamingContext() got an empty defaultNamingContext");
    return kEFail;
  }
  return kSOk;
}

HRESULT CADUserConfig::GetDirectorySearch(const std::string& path, DirectorySearch& search) {
  search.directory = platform::ProcessDirectory();
  search.base.clear();
  const size_t colon = path.find(':');
  const bool wholeCatalog = colon == std::string::npos || colon + 1 == path.size();
  if (search.directory == nullptr) {
    if (wholeCatalog) {
      Log("GetDirectorySearch ADsOpenObject failed to OPEN GC:: 0x%x\n", Hex(kNoDirectory));
    } else {
      Log("GetDirectorySearch ADsOpenObject IID_IDirectorySearch Path: %s failed: 0x%x\n", path.c_str(),
          Hex(kNoDirectory));
    }
    return kNoDirectory;
  }
  if (wholeCatalog) {
    // The container of the whole catalog: its first child is the directory's root.
    const HRESULT hr = search.directory->NamingContext(&search.base);
    if (Failed(hr)) Log("GetDirectorySearch ADsEnumerateNext failed: 0x%x\n", Hex(hr));
    return hr;
  }
  std::string rest = path.substr(colon + 1);
  if (rest.compare(0, 2, "//") == 0) rest.erase(0, 2);
  const size_t slash = rest.find('/');
  search.base = slash == std::string::npos ? rest : rest.substr(slash + 1);
  return kSOk;
}

HRESULT CADUserConfig::FindUsers(const DirectorySearch& search, const std::string& filter,
                                 const std::string& attribute, std::string& values) {
  values.clear();
  const std::string cut = filter.substr(0, kFilterChars);
  std::vector<platform::DirectoryEntry> entries;
  std::vector<std::string> names;
  if (!attribute.empty()) names.push_back(attribute);
  HRESULT hr = search.directory == nullptr ? kNoDirectory
               : search.directory->Search(search.base, platform::DirectoryScope::kSubtree, cut, names, &entries);
  if (Failed(hr)) {
    Log("Execute search failed %s 0x%x", cut.c_str(), Hex(hr));
    return hr;
  }
  int count = 0;
  const auto add = [&values, &count](const std::string& text) {
    if (text.empty()) return;
    if (count++ > 0) values += ';';
    values += text;
  };
  for (const platform::DirectoryEntry& entry : entries) {
    bool named = false;
    for (const platform::DirectoryAttribute& column : entry.attributes) {
      named = named || platform::EqualsIgnoreCase(column.name, attribute);
      for (const std::string& value : column.values) add(ValueText(column.name, value));
    }
    // A directory that keeps the name only as the entry's own.
    if (!named && SameName(attribute, "distinguishedName")) add(entry.dn);
  }
  if (count == 0) {
    Log("CADUserConfig::FindUsers %s hr:0x%x Count = 0 Error! No property was found", cut.c_str(), Hex(hr));
    return kEFail;
  }
  Log("CADUserConfig::FindUsers %s hr:0x%x Count: %d", cut.c_str(), Hex(hr), count);
  return kSOk;
}

namespace {

// One read of an attribute in an identity mode.
HRESULT ReadProperties(CADUserConfig& config, const std::string& name, int32_t mode, std::string& value) {
  std::string trace;
  std::optional<platform::ProcessIdentityScope> processIdentity;
  try {
    if (!config.useNamingContext) {
      trace += "No DefaultNamingContext ";
    } else if (config.namingContext.empty()) {
      trace += "ReadDefaultNamingContext ";
      if (mode == 1 || mode == 2) processIdentity.emplace();
      HRESULT hr = config.ReadDefaultNamingContext();
      if (Failed(hr) && mode == 2) {
        processIdentity.reset();
        hr = config.ReadDefaultNamingContext();
      }
      if (Failed(hr)) {
        Log("ReadProperties couldn't open AD connection ReadDefaultNamingContext 0x%x ConfigType: %d", Hex(hr), mode);
        return hr;
      }
    }
    std::string path = (config.protocol.empty() ? std::string("GC") : config.protocol) + ":";
    if (!config.server.empty()) path += "//" + config.server + "/";
    if (config.useNamingContext) path += (config.server.empty() ? "//" : "") + config.namingContext;

    if (!processIdentity) processIdentity.emplace();
    trace += "GetDirectorySearch ";
    CADUserConfig::DirectorySearch search;
    HRESULT hr = CADUserConfig::GetDirectorySearch(path, search);
    if (Failed(hr)) {
      Log("ReadProperties couldn't get IDirectorySearch 0x%x ConfigType: %d", Hex(hr), mode);
      return hr;
    }
    trace += "FindUsers ";
    hr = CADUserConfig::FindUsers(search, "(&" + config.baseFilter + config.searchKey + ")", name, value);
    if (Failed(hr)) {
      Log("CADUserConfig failed to get AD user %s Prop %s hr: 0x%x ConfigType: %d  %s",
          config.searchKey.c_str(), name.c_str(), Hex(hr), mode, trace.c_str());
    }
    return hr;
  } catch (const std::exception& error) {
    Log("ReadProperty from AD got an std exception %s Context: %s user %s Prop %s ConfigurationType: %d",
        error.what(), trace.c_str(), config.searchKey.c_str(), name.c_str(), mode);
  } catch (...) {
    Log("ReadProperty from AD got an general exception Context: %s user %s Prop %s ConfigurationType: %d",
        trace.c_str(), config.searchKey.c_str(), name.c_str(), mode);
  }
  return kEUnexpected;
}

}  // namespace

HRESULT CADUserConfig::ReadProperty(const std::string& attributeName, std::string& text) {
  text.clear();
  try {
    const auto cached = properties.find(attributeName);
    if (cached != properties.end()) {
      cached->second->CopyTo(text);
      return kSOk;
    }
    const int32_t remembered = RememberedMode();
    int32_t mode = remembered != kModeUnknown ? remembered : configType;
    std::string value;
    HRESULT hr = ReadProperties(*this, attributeName, mode, value);
    if (Failed(hr) && useNamingContext) {
      mode = mode == 1 ? 0 : 1;
      namingContext.clear();
      hr = ReadProperties(*this, attributeName, mode, value);
      if (Succeeded(hr) && mode != remembered) SetRememberedMode(mode);
    }
    if (Failed(hr)) return hr;
    auto property = std::make_shared<TADProp>(std::move(value));
    property->CopyTo(text);
    properties[attributeName] = std::move(property);
    return kSOk;
  } catch (const std::exception& error) {
    Log("ReadProperty from AD got an std exception %s Context: %s user %s Prop %s ConfigurationType: %d",
        error.what(), "ReadProperty", searchKey.c_str(), attributeName.c_str(), configType);
    text.clear();
    return kEOutOfMemory;
  }
}

HRESULT LoadDirectoryConfiguration(const std::string& settingsFolder) {
  const std::string path = settingsFolder + platform::kDirectoryConfigFileName;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    platform::SetProcessDirectory(nullptr);
    Log("LoadDirectoryConfiguration no %s: directory lookups fail", path.c_str());
    return kSFalse;
  }
  platform::DirectoryConfig config;
  std::string error;
  std::shared_ptr<platform::Directory> directory;
  if (platform::ReadDirectoryConfig(path, &config, &error)) directory = platform::OpenDirectory(config, &error);
  platform::SetProcessDirectory(directory);
  if (!directory) {
    Log("LoadDirectoryConfiguration failed: %s", error.c_str());
    return kEFail;
  }
  Log("LoadDirectoryConfiguration %s base %s", config.ldif.empty() ? config.uri.c_str() : config.ldif.c_str(),
      config.base.c_str());
  return kSOk;
}

namespace {

// The account's distinguished name, found by a directory search (the name translation).
HRESULT TranslateToDn(const char* operation, const std::string& account, std::string& dn) {
  dn.clear();
  const auto fail = [operation, &account](const char* step, HRESULT hr) {
    Log("%s failed to %s %s HR= 0x%x", operation, step, account.c_str(), Hex(hr));
    ReportText(kReportError, "%s failed to %s %s HR= 0x%x", operation, step, account.c_str(), Hex(hr));
    return hr;
  };
  platform::Directory* directory = platform::ProcessDirectory();
  if (directory == nullptr) return fail("create CLSID_NameTranslater", kNoDirectory);
  std::string root;
  HRESULT hr = directory->NamingContext(&root);
  if (Failed(hr)) return fail("initialize for", hr);

  const size_t backslash = account.find('\\');
  const std::string user = backslash == std::string::npos ? account : account.substr(backslash + 1);
  const std::string& domain = directory->Config().domain;
  std::string filter = user.find('@') != std::string::npos ? "(userPrincipalName=" : "(sAMAccountName=";
  filter += platform::EscapeFilterValue(user) + ")";
  std::vector<platform::DirectoryEntry> entries;
  if (user.empty() || (backslash != std::string::npos && !domain.empty() &&
                       !platform::EqualsIgnoreCase(account.substr(0, backslash), domain))) {
    hr = kNameNotFound;
  } else {
    hr = directory->Search(root, platform::DirectoryScope::kSubtree, filter, {"1.1"}, &entries);
    if (Succeeded(hr) && entries.size() != 1) hr = entries.empty() ? kNameNotFound : kNameNotUnique;
  }
  if (Failed(hr)) return fail("set ADS_NAME_TYPE_UNKNOWN for", hr);
  if (entries[0].dn.empty()) return fail("get ADS_NAME_TYPE_1779 for", kEFail);
  dn = entries[0].dn;
  return kSOk;
}

}  // namespace

HRESULT GetOU(const std::string& account, std::string& ou) {
  ou.clear();
  try {
    std::string dn;
    const HRESULT hr = TranslateToDn("GetOU", account, dn);
    if (Failed(hr)) return hr;
    for (size_t at = 0; at + 4 <= dn.size(); ++at) {
      if (dn[at] == ',' && platform::EqualsIgnoreCase(dn.substr(at + 1, 3), "OU=")) {
        ou = dn.substr(at + 1);
        return kSOk;
      }
    }
    ReportText(kReportError, "GetOU didn't find any OU in %s for User %s", dn.c_str(), account.c_str());
    Log("GetOU didn't find any OU %s", dn.c_str());
    return kEInvalidArg;
  } catch (const std::exception&) {
    ou.clear();
    return kEOutOfMemory;
  }
}

HRESULT GetDN(const std::string& account, std::string& value) {
  value.clear();
  try {
    std::string dn;
    HRESULT hr = TranslateToDn("GetDN", account, dn);
    if (Failed(hr)) return hr;
    std::vector<platform::DirectoryEntry> entries;
    hr = platform::ProcessDirectory()->Search(dn, platform::DirectoryScope::kBase, "(objectClass=*)",
                                              {"msExchQueryBaseDN"}, &entries);
    if (Succeeded(hr) && entries.empty()) hr = platform::kDirectoryNoSuchObject;
    if (Failed(hr)) {
      Log("GetDN failed to ADsGetObject for %s Query %s, HR= 0x%x", account.c_str(), dn.c_str(), Hex(hr));
      ReportText(kReportError, "GetDN failed to ADsGetObject for %s Query %s, HR= 0x%x", account.c_str(),
                 dn.c_str(), Hex(hr));
      return hr;
    }
    for (const platform::DirectoryAttribute& attribute : entries[0].attributes) {
      if (SameName(attribute.name, "msExchQueryBaseDN") && !attribute.values.empty()) {
        value = attribute.values[0];
        return kSOk;
      }
    }
    Log("GetDN failed to get msExchQueryBaseDN for %s Query %s, HR= 0x%x", account.c_str(), dn.c_str(),
        Hex(kPropertyNotFound));
    ReportText(kReportError, "GetDN failed to get msExchQueryBaseDN for %s Query %s, HR= 0x%x",
               account.c_str(), dn.c_str(), Hex(kPropertyNotFound));
    return kPropertyNotFound;
  } catch (const std::exception&) {
    value.clear();
    return kEOutOfMemory;
  }
}

}  // namespace nexoral
