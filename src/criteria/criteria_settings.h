// CCriteriaSettings: the criteria file, ZQCriteria.xml. A criterion is a numbered policy with
// conditions on the request (client address ranges, user agent tokens, host names, group
// membership, the user's directory data); the matching picks the first criterion in file order
// whose conditions a request meets. The file also holds general items and the bypass list of
// users and groups that are exempt from the criteria.
//
// Schema (names are case-sensitive; every attribute is text):
//   SETTINGS
//     GENERALSETTINGS / ITEM(ID, DESCR, VALUE)       only the first GENERALSETTINGS counts
//     CRITERIA(ID, VALUE) / CRITERION(ID, DESCR, VALUE)
// Several CRITERIA elements with one ID make one criterion (their items merged, later ones
// winning) whose id stands in the file order once per element.
//
// CHandleCriteriaSettings loads each version of the file into a new instance and publishes it
// whole; a published instance's tables never change, so requests read them without a lock.
#ifndef NEXORAL_CRITERIA_CRITERIA_SETTINGS_H
#define NEXORAL_CRITERIA_CRITERIA_SETTINGS_H

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "nexoral/ref_handle.h"
#include "platform/ascii_text.h"
#include "platform/security_id.h"
#include "settings/basic_settings.h"
#include "settings/settings_records.h"

namespace nexoral {

// General items.
inline constexpr int32_t BYPASS_SIDS = 48;
inline constexpr int32_t BYPASS_SIDS_2 = 49;
inline constexpr int32_t ENABLE_RSA = 50;
inline constexpr int32_t CRITERIA_REFRESH_INTERVAL = 81;
inline constexpr int32_t AD_LOOKUP_OPTION = 84;
// Items of a criterion.
inline constexpr int32_t IP_RANGES = 1;
inline constexpr int32_t UPN_SUFFIXES = 2;
inline constexpr int32_t OU_NAMES = 3;
inline constexpr int32_t AD_BASE_DN = 4;
inline constexpr int32_t CRITERION_ENABLE = 6;
inline constexpr int32_t ASP_ENABLE = 7;
inline constexpr int32_t ASP_TYPE = 8;
inline constexpr int32_t GROUP_SIDS = 10;
inline constexpr int32_t GROUP_SIDS_2 = 11;
inline constexpr int32_t ENABLE_GROUP_USERS = 12;
inline constexpr int32_t CDR_VALUES = 13;
inline constexpr int32_t HOST_NAMES = 14;

// The tests some criterion needs (kindsMask bits).
inline constexpr uint32_t CRITERIA_IP = 0x01;
inline constexpr uint32_t CRITERIA_UPN = 0x02;
inline constexpr uint32_t AD_CRITERIA = 0x04;
inline constexpr uint32_t OU_CRITERIA = 0x08;
inline constexpr uint32_t GROUP_CRITERIA = 0x10;
inline constexpr uint32_t CDR_CRITERIA = 0x20;
inline constexpr uint32_t HOST_CRITERIA = 0x40;

// ASP_TYPE values: which directory test a criterion's user test is.
inline constexpr int32_t kUserTestAd = 0;
inline constexpr int32_t kUserTestUpn = 1;
inline constexpr int32_t kUserTestOu = 2;

// ASCII case-insensitive order; a string found in a set of this order equals one of its entries
// ignoring case.
struct CaseInsensitiveLess {
  using is_transparent = void;
  // Here, so that the sets' searches compare inline.
  bool operator()(std::string_view left, std::string_view right) const {
    const size_t shorter = std::min(left.size(), right.size());
    for (size_t i = 0; i < shorter; ++i) {
      const char l = platform::LowerAscii(left[i]);
      const char r = platform::LowerAscii(right[i]);
      if (l != r) return static_cast<unsigned char>(l) < static_cast<unsigned char>(r);
    }
    return left.size() < right.size();
  }
};
using CaseInsensitiveSet = std::set<std::string, CaseInsensitiveLess>;

// A client address: groups 0 to 3 of an IPv4 address, 0 to 7 (16 bits each) of an IPv6 one.
struct CIPAddress {
  std::array<int32_t, 8> groups{};
  bool isIPv4 = false;
};

struct CIPRange {
  CIPAddress first;
  CIPAddress last;
};

// Reads an address with the system's parser: dotted IPv4, and IPv6 in every form ("::" anywhere,
// a zone "%name" ignored). An IPv4-mapped IPv6 address (::ffff:a.b.c.d) is read as the IPv4
// address. False (and a log line) for anything else; address is then all zero.
bool ParseIPAddress(std::string_view text, CIPAddress& address);
// Whether the address lies in the range (first <= address <= last as numbers, both ends of the
// same family as the address).
bool IsAddressInRange(const CIPAddress& address, const CIPRange& range);

using CSharedSid = std::shared_ptr<const platform::SecurityId>;

struct CCriterion {
  SettingsItemMap items;
  std::vector<CIPRange> ipRanges;
  CaseInsensitiveSet upnSuffixes;
  CaseInsensitiveSet ouNames;
  CaseInsensitiveSet cdrValues;
  CaseInsensitiveSet hostNames;
  std::vector<CSharedSid> groupSids;
  // Item 12 as a number; unset when absent or not a number.
  std::optional<int32_t> groupUsers;
  int32_t id = 0;
  std::string name;
};

using CriterionHandle = CRefHandle<CCriterion>;

class CCriteriaSettings : public CBasicSettings {
 public:
  CCriteriaSettings() = default;

  // Reads the whole file. A missing file gives 0x80070002 and changes nothing; any other
  // failure is logged and returned and the tables stay as they were.
  HRESULT Load(const std::string& fileName) override;

  // Lookups of a general item or of an item of one criterion; false when absent or not usable
  // as that type (a number accepts text, text only text).
  bool GetGeneralInt(int32_t id, int32_t& value) const;
  bool GetGeneralString(int32_t id, std::string& value) const;
  bool GetCriterionInt(int32_t itemId, int32_t& value, int32_t criterionId) const;
  bool GetCriterionString(int32_t itemId, std::string& value, int32_t criterionId) const;
  // The same for a criterion already found.
  static bool GetCriterionInt(int32_t itemId, int32_t& value, const CCriterion& criterion);
  static bool GetCriterionString(int32_t itemId, std::string& value, const CCriterion& criterion);

  // The criterion with that id, or null.
  const CCriterion* Find(int32_t criterionId) const;
  const std::map<int32_t, CriterionHandle>& Criteria() const { return criteria_; }
  const std::vector<int32_t>& CriteriaOrder() const { return criteriaOrder_; }
  // The criterion of each id of CriteriaOrder(), null for an id without one.
  const std::vector<const CCriterion*>& OrderedCriteria() const { return orderedCriteria_; }
  const std::vector<CSharedSid>& BypassList() const { return bypassList_; }
  const SettingsItemMap& General() const { return general_; }
  // Only gains bits: a criterion that needed a test keeps it needed for the process's life.
  uint32_t KindsMask() const { return kindsMask_; }

  // Before a first load: takes what outlives one version of the file from the instance that
  // held the one before (the drop switch, the refresh interval, the mask, the clock).
  void CarryOver(const CCriteriaSettings& previous);

  // Drop criteria whose item 6 reads 0 at load.
  bool dropDisabled = false;

 private:
  struct LoadContext;

  void ReadFile(const std::string& fileName, LoadContext& context);
  bool AddGeneralItem(AttributeList& attributes, void* context);
  bool AddCriteria(AttributeList& attributes, void* context);
  bool AddCriterionItem(AttributeList& attributes, void* context);
  static void DropDisabled(LoadContext& context);
  static void ParseBuildByPassList(LoadContext& context);
  static uint32_t Derive(CCriterion& criterion);
  static void ParseGroups(CCriterion& criterion);

  std::map<int32_t, CriterionHandle> criteria_;
  std::vector<int32_t> criteriaOrder_;
  std::vector<const CCriterion*> orderedCriteria_;
  std::vector<CSharedSid> bypassList_;
  SettingsItemMap general_;
  uint32_t kindsMask_ = 0;
};

}  // namespace nexoral

#endif  // NEXORAL_CRITERIA_CRITERIA_SETTINGS_H
