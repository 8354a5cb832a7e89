// Directory lookups of a request's user: CADUserConfig finds the user's object by a search key
// and reads its attributes as text (caching what one lookup object read); GetOU and GetDN turn
// an account name "domain\user" into the OU part of its distinguished name and into its
// msExchQueryBaseDN attribute. Behind them stands the directory of the installation (an LDAP
// server, or a directory file loaded in memory); see platform/directory.h.
#ifndef NEXORAL_CRITERIA_AD_USER_CONFIG_H
#define NEXORAL_CRITERIA_AD_USER_CONFIG_H

#include <map>
#include <memory>
#include <string>

#include "nexoral/win_types.h"

namespace nexoral {

namespace platform {
class Directory;
}

// One cached attribute of a lookup object.
class ADProp {
 public:
  virtual ~ADProp() = default;
  virtual const std::string& Text() const = 0;
  virtual void CopyTo(std::string& out) const = 0;
};

// The search kinds of SetSearchKey.
enum ADSearchKind : int {
  kSearchAccountName = 0,     // (sAMAccountName=value); also any unknown kind
  kSearchPrincipalName = 1,   // (userPrincipalName=value)
  kSearchName = 2,            // (name=value)
  kSearchSmtpAddress = 3,     // (proxyAddresses=*SMTP:value*)
  kSearchLegacyDn = 4,        // (legacyExchangeDN=value)
  kSearchX500Address = 5,     // (proxyAddresses=*x500:value*)
  kSearchSid = 6,             // (ObjectSID=value)
  kSearchSidOrMasterSid = 7,  // (|(ObjectSID=value)(msExchMasterAccountSid=value))
};

class CADUserConfig {
 public:
  CADUserConfig();
  virtual ~CADUserConfig();
  CADUserConfig(const CADUserConfig&) = delete;
  CADUserConfig& operator=(const CADUserConfig&) = delete;

  // Makes the key filter of a search kind (ADSearchKind) for value.
  void SetSearchKey(const std::string& value, int kind);
  // The attribute's text (several values joined by ";") for the user of the search key.
  HRESULT ReadProperty(const std::string& attributeName, std::string& text);

  // The steps of a lookup. A search is the directory and the base DN a path names.
  struct DirectorySearch {
    platform::Directory* directory = nullptr;
    std::string base;
  };
  // Reads namingContext from the directory.
  HRESULT ReadDefaultNamingContext();
  // "GC:" and "LDAP:" search from the directory's root, "GC://dn" and "GC://server/dn" from dn
  // (the configured directory answers whatever server a path names).
  static HRESULT GetDirectorySearch(const std::string& path, DirectorySearch& search);
  // The values of the attribute (all attributes when empty) of every entry the filter finds in
  // the subtree, as text joined by ";"; E_FAIL when there is none.
  static HRESULT FindUsers(const DirectorySearch& search, const std::string& filter,
                           const std::string& attribute, std::string& values);
  // The identity mode a retry found to work, 3 while none did; used instead of configType.
  static int32_t RememberedMode();
  static void SetRememberedMode(int32_t mode);

  int32_t configType = 0;            // identity mode of the lookup (criteria item 84)
  std::string namingContext;         // the default naming context once read
  std::string searchKey;             // the key filter SetSearchKey made
  std::map<std::string, std::shared_ptr<ADProp>> properties;  // attributes read so far
  std::string baseFilter = "(objectClass=user)(objectCategory=person)";
  std::string protocol;              // "GC" or "LDAP"
  std::string server;                // optional server name
  bool useNamingContext = false;     // the path carries the naming context; allows the retry
};

// Makes the directory of the settings folder's "Directory.conf" (platform/directory.h) the one
// the lookups use; without the file there is none. S_OK, S_FALSE without the file, E_FAIL for
// a file that does not read or a directory that cannot be opened (logged).
HRESULT LoadDirectoryConfiguration(const std::string& settingsFolder);

// Account names: "domain\user" (the domain is checked when the configuration names one), a
// user principal name "user@suffix", or a bare account name.
// The OU part of the account's distinguished name (from its first ",OU=" on, without that
// comma). E_INVALIDARG when the name has none.
HRESULT GetOU(const std::string& account, std::string& ou);
// The account's msExchQueryBaseDN attribute (its first value).
HRESULT GetDN(const std::string& account, std::string& value);

}  // namespace nexoral

#endif  // NEXORAL_CRITERIA_AD_USER_CONFIG_H
