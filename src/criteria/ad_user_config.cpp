// PLACEHOLDER until the directory lands: every lookup fails with E_NOTIMPL, which the callers
// treat as a failed lookup (empty value).
#include "criteria/ad_user_config.h"

#include "platform/error_codes.h"

namespace nexoral {

CADUserConfig::CADUserConfig() = default;
CADUserConfig::~CADUserConfig() = default;

void CADUserConfig::SetSearchKey(const std::string& value, int) { searchKey = "(sAMAccountName=" + value + ")"; }

HRESULT CADUserConfig::ReadProperty(const std::string&, std::string& text) {
  text.clear();
  return kENotImpl;
}

HRESULT GetOU(const std::string&, std::string& ou) {
  ou.clear();
  return kENotImpl;
}

HRESULT GetDN(const std::string&, std::string& value) {
  value.clear();
  return kENotImpl;
}

}  // namespace nexoral
