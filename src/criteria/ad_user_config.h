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

  int32_t configType = 0;            // identity mode of the lookup (criteria item 84)
  std::string namingContext;         // the default naming context once read
  std::string searchKey;             // the key filter SetSearchKey made
  std::map<std::string, std::shared_ptr<ADProp>> properties;  // attributes read so far
  std::string baseFilter = "(objectClass=user)(objectCategory=person)";
  std::string protocol;              // "GC" or "LDAP"
  std::string server;                // optional server name
  bool useNamingContext = false;     // the path carries the naming context; allows the retry
};

// The OU part of the account's distinguished name (from its first ",OU=" on, without that
// comma). E_INVALIDARG when the name has none.
HRESULT GetOU(const std::string& account, std::string& ou);
// The account's msExchQueryBaseDN attribute (its first value).
HRESULT GetDN(const std::string& account, std::string& value);

}  // namespace nexoral

#endif  // NEXORAL_CRITERIA_AD_USER_CONFIG_H
