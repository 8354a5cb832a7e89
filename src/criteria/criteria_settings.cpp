// Loading of the criteria file into a private load context, the derived tables, and the
// address reader and range test the tables and the matching share.
#include "criteria/criteria_settings.h"

#include <arpa/inet.h>

#include <algorithm>
#include <new>
#include <optional>
#include <utility>

#include "diagnostics/event_log.h"
#include "diagnostics/log.h"
#include "nexoral/filter_interface.h"
#include "platform/ascii_text.h"
#include "platform/com_errors.h"
#include "platform/error_codes.h"
#include "platform/file_time.h"
#include "settings/split_string.h"
#include "settings/value_rules.h"

namespace nexoral {
namespace {

using Names = CBasicSettings::AttributeList;

const Names& ItemNames() {
  static const Names names = {{"ID", Variant()}, {"DESCR", Variant()}, {"VALUE", Variant()}};
  return names;
}
const Names& CriteriaNames() {
  static const Names names = {{"ID", Variant()}, {"VALUE", Variant()}};
  return names;
}

const SettingsItem* FindItem(const SettingsItemMap& items, int32_t id) {
  auto found = items.find(id);
  return found == items.end() ? nullptr : &found->second;
}

bool ItemInt(const SettingsItemMap& items, int32_t id, int32_t& value) {
  const SettingsItem* item = FindItem(items, id);
  return item != nullptr && ReadIntegerValue(item->VALUE, value);
}

bool ItemText(const SettingsItemMap& items, int32_t id, std::string& value) {
  const SettingsItem* item = FindItem(items, id);
  return item != nullptr && ReadTextValue(item->VALUE, value);
}

// Text of at least one character.
bool HasText(const SettingsItemMap& items, int32_t id) {
  const SettingsItem* item = FindItem(items, id);
  return item != nullptr && item->VALUE.IsText() && !item->VALUE.Text().empty();
}

int32_t IntOr(const SettingsItemMap& items, int32_t id, int32_t fallback) {
  int32_t value = fallback;
  return ItemInt(items, id, value) ? value : fallback;
}

// The first list, then the second after a ";" (none when the first is empty or already ends
// with one).
std::string JoinLists(const SettingsItemMap& items, int32_t firstId, int32_t secondId) {
  std::string text;
  ItemText(items, firstId, text);
  std::string second;
  if (ItemText(items, secondId, second) && !second.empty()) {
    if (!text.empty() && text.back() != ';') text += ';';
    text += second;
  }
  return text;
}

CaseInsensitiveSet SetOf(const SettingsItemMap& items, int32_t id) {
  CaseInsensitiveSet set;
  std::string text;
  std::vector<std::string> pieces;
  if (ItemText(items, id, text)) SplitString(text, ";", pieces);
  for (std::string& piece : pieces) set.insert(std::move(piece));
  return set;
}

std::vector<CIPRange> RangesOf(const std::string& text) {
  std::vector<std::string_view> pieces;
  std::string_view rest = text;
  for (size_t cut = rest.find(';'); cut != std::string_view::npos; cut = rest.find(';')) {
    pieces.push_back(rest.substr(0, cut));
    rest.remove_prefix(cut + 1);
  }
  pieces.push_back(rest);
  std::vector<CIPRange> ranges;
  for (size_t i = 0; i + 1 < pieces.size() && !pieces[i + 1].empty(); i += 2) {
    CIPRange range;
    if (ParseIPAddress(pieces[i], range.first) && ParseIPAddress(pieces[i + 1], range.last)) {
      ranges.push_back(range);
    }
  }
  return ranges;
}

}  // namespace

bool ParseIPAddress(std::string_view text, CIPAddress& address) {
  address = CIPAddress();
  char buffer[INET6_ADDRSTRLEN + 1] = {};
  const std::string_view bare = text.substr(0, text.find('%'));
  // A NUL would end the text early for the system's parser: "10.0.0.1<NUL>x" is no address.
  const bool fits = bare.size() < sizeof(buffer) && bare.find('\0') == std::string_view::npos;
  if (fits) bare.copy(buffer, bare.size());
  in_addr v4{};
  in6_addr v6{};
  if (fits && inet_pton(AF_INET, buffer, &v4) == 1) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&v4.s_addr);
    for (size_t i = 0; i < 4; ++i) address.groups[i] = bytes[i];
    address.isIPv4 = true;
    return true;
  }
  if (fits && inet_pton(AF_INET6, buffer, &v6) == 1) {
    const unsigned char* bytes = v6.s6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
      for (size_t i = 0; i < 4; ++i) address.groups[i] = bytes[12 + i];
      address.isIPv4 = true;
      return true;
    }
    for (size_t i = 0; i < 8; ++i) address.groups[i] = bytes[2 * i] << 8 | bytes[2 * i + 1];
    return true;
  }
  const std::string shown(text);
  Log("IP not in IPv4 ot IPV6 format %s", shown.c_str());
  return false;
}

bool IsAddressInRange(const CIPAddress& address, const CIPRange& range) {
  if (address.isIPv4 != range.first.isIPv4 || address.isIPv4 != range.last.isIPv4) return false;
  const size_t count = address.isIPv4 ? 4 : 8;
  const auto compare = [count](const CIPAddress& left, const CIPAddress& right) {
    for (size_t i = 0; i < count; ++i) {
      if (left.groups[i] != right.groups[i]) return left.groups[i] < right.groups[i] ? -1 : 1;
    }
    return 0;
  };
  return compare(range.first, address) <= 0 && compare(address, range.last) <= 0;
}

// What one load reads, apart from the live tables until the commit.
struct CCriteriaSettings::LoadContext {
  SettingsItemMap general;
  std::map<int32_t, CriterionHandle> criteria;
  std::vector<int32_t> order;
  std::vector<CSharedSid> bypassList;
  uint32_t kinds = 0;
  // The criterion whose items are being read; none after an element without a usable id.
  std::optional<int32_t> currentId;

  CCriterion& Criterion(int32_t id) {
    CriterionHandle& handle = criteria[id];
    if (!handle) {
      handle = MakeRefHandle<CCriterion>();
      handle->id = id;
    }
    return *handle;
  }
};

HRESULT CCriteriaSettings::Load(const std::string& fileName) {
  HRESULT result = kSOk;
  try {
    FileTime dateBeforeParse;
    const DWORD missing = platform::ReadFileLastWriteTime(fileName, dateBeforeParse);
    if (missing == kErrorFileNotFound || missing == kErrorPathNotFound) {
      Log("Load Criteria can not find file %s error %d", fileName.c_str(),
          static_cast<int>(kErrorFileNotFound));
      return kSettingsFileNotFound;
    }
    result = BeginLoad(fileName, dateBeforeParse);
    if (Failed(result)) return result;
    LoadContext context;
    ReadFile(fileName, context);
    if (dropDisabled) DropDisabled(context);
    ParseBuildByPassList(context);
    for (auto& [id, criterion] : context.criteria) context.kinds |= Derive(*criterion);
    std::vector<const CCriterion*> ordered;
    ordered.reserve(context.order.size());
    for (const int32_t id : context.order) {
      const auto found = context.criteria.find(id);
      ordered.push_back(found == context.criteria.end() ? nullptr : found->second.get());
    }
    // Everything that may fail is done; the swaps cannot fail.
    general_.swap(context.general);
    criteria_.swap(context.criteria);
    criteriaOrder_.swap(context.order);
    orderedCriteria_.swap(ordered);
    bypassList_.swap(context.bypassList);
    kindsMask_ |= context.kinds;
    CommitLoadDate(dateBeforeParse);
  } catch (const CAtlException& failure) {
    result = failure.m_hr;
    Log("LoadCriteriaSettings HRESULT exception %x", static_cast<unsigned>(result));
  } catch (const _com_error& failure) {
    result = failure.Error();
    Log("LoadCriteriaSettings com exception %x", static_cast<unsigned>(result));
  } catch (const std::bad_alloc&) {
    result = kEOutOfMemory;
    Log("LoadCriteriaSettings HRESULT exception %x", static_cast<unsigned>(result));
  } catch (...) {
    result = kEUnexpected;
    Log("LoadCriteriaSettings General exception");
  }
  return result;
}

void CCriteriaSettings::ReadFile(const std::string& fileName, LoadContext& context) {
  XmlDocument document;
  ThrowIfFailed(LoadXmlFile(document, fileName));
  const XmlNode root = document.Root();
  XmlNode general;
  ThrowIfFailed(root.SelectSingleNode("SETTINGS/GENERALSETTINGS", general));
  _functTrans<CCriteriaSettings> addGeneral(this, &CCriteriaSettings::AddGeneralItem, &context);
  ReadNodes(general, "ITEM", ItemNames(), addGeneral);

  XmlNode settings;
  ThrowIfFailed(root.SelectSingleNode("SETTINGS", settings));
  _functTrans<CCriteriaSettings> addCriteria(this, &CCriteriaSettings::AddCriteria, &context);
  _functTrans<CCriteriaSettings> addItem(this, &CCriteriaSettings::AddCriterionItem, &context);
  ReadNodesWithChildren(settings, "CRITERIA", CriteriaNames(), addCriteria, "CRITERION",
                        ItemNames(), &addItem, nullptr);
}

bool CCriteriaSettings::AddGeneralItem(AttributeList& attributes, void* context) {
  SettingsItem item;
  if (!ParseItem(attributes, item)) return false;
  static_cast<LoadContext*>(context)->general[item.ID] = std::move(item);
  return true;
}

bool CCriteriaSettings::AddCriteria(AttributeList& attributes, void* context) {
  LoadContext& load = *static_cast<LoadContext*>(context);
  int32_t id = 0;
  if (attributes.size() != CriteriaNames().size() || !ReadIntegerValue(attributes[0].value, id)) {
    load.currentId.reset();
    return false;
  }
  load.currentId = id;
  CCriterion& criterion = load.Criterion(id);
  ReadTextValue(attributes[1].value, criterion.name);
  load.order.push_back(id);
  return true;
}

bool CCriteriaSettings::AddCriterionItem(AttributeList& attributes, void* context) {
  LoadContext& load = *static_cast<LoadContext*>(context);
  SettingsItem item;
  if (!load.currentId || !ParseItem(attributes, item)) return false;
  load.Criterion(*load.currentId).items[item.ID] = std::move(item);
  return true;
}

void CCriteriaSettings::DropDisabled(LoadContext& context) {
  for (auto it = context.criteria.begin(); it != context.criteria.end();) {
    const SettingsItem* enable = FindItem(it->second->items, CRITERION_ENABLE);
    if (enable == nullptr || !enable->VALUE.IsText() ||
        IntegerFromText(enable->VALUE.Text()) != 0) {
      ++it;
      continue;
    }
    auto first = std::find(context.order.begin(), context.order.end(), it->first);
    if (first != context.order.end()) context.order.erase(first);
    it = context.criteria.erase(it);
  }
}

void CCriteriaSettings::ParseBuildByPassList(LoadContext& context) {
  context.bypassList.clear();
  if (context.order.empty()) return;
  std::vector<std::string> pieces;
  SplitString(JoinLists(context.general, BYPASS_SIDS, BYPASS_SIDS_2), ";", pieces);
  for (const std::string& piece : pieces) {
    try {
      platform::SecurityId sid;
      if (platform::ConvertStringSidToSid(piece, &sid)) {
        context.bypassList.push_back(std::make_shared<const platform::SecurityId>(sid));
        continue;
      }
      const int error = static_cast<int>(GetLastError());
      ReportText(kReportError,
                 "Reading Groups from Global settings got an error %d. This User/Group  <%s> "
                 "will be ignored",
                 error, piece.c_str());
      Log("Reading Groups from Global settings got an error %d . This group %s will be ignored",
          error, piece.c_str());
      Log("ParseBuildByPassList failed for user/group %s", piece.c_str());
    } catch (...) {
      Log("ParseBuildByPassList got an EXCEPTION for user/group %s", piece.c_str());
      ReportText(kReportError,
                 "Reading Groups from Global settings got an unexpected exception for "
                 "User/Group %s. This group will be ignored",
                 piece.c_str());
    }
  }
}

uint32_t CCriteriaSettings::Derive(CCriterion& criterion) {
  const SettingsItemMap& items = criterion.items;
  uint32_t kinds = 0;
  if (HasText(items, IP_RANGES)) kinds |= CRITERIA_IP;
  if (IntOr(items, ASP_ENABLE, 0) != 0) {
    const int32_t type = IntOr(items, ASP_TYPE, -1);
    if (type == kUserTestUpn && HasText(items, UPN_SUFFIXES)) kinds |= CRITERIA_UPN;
    if (type == kUserTestAd && HasText(items, AD_BASE_DN)) kinds |= AD_CRITERIA;
    if (type == kUserTestOu && HasText(items, OU_NAMES)) kinds |= OU_CRITERIA;
  }
  int32_t groupUsers = 0;
  if (ItemInt(items, ENABLE_GROUP_USERS, groupUsers)) criterion.groupUsers = groupUsers;
  const bool groupsOn = criterion.groupUsers.value_or(0) != 0;
  if (groupsOn && (HasText(items, GROUP_SIDS) || HasText(items, GROUP_SIDS_2))) {
    kinds |= GROUP_CRITERIA;
  }
  if (HasText(items, CDR_VALUES)) kinds |= CDR_CRITERIA;
  if (HasText(items, HOST_NAMES)) kinds |= HOST_CRITERIA;

  std::string ranges;
  if (ItemText(items, IP_RANGES, ranges)) criterion.ipRanges = RangesOf(ranges);
  criterion.upnSuffixes = SetOf(items, UPN_SUFFIXES);
  criterion.ouNames = SetOf(items, OU_NAMES);
  criterion.cdrValues = SetOf(items, CDR_VALUES);
  criterion.hostNames = SetOf(items, HOST_NAMES);
  if (groupsOn) ParseGroups(criterion);
  return kinds;
}

void CCriteriaSettings::ParseGroups(CCriterion& criterion) {
  std::vector<std::string> pieces;
  SplitString(JoinLists(criterion.items, GROUP_SIDS, GROUP_SIDS_2), ";", pieces);
  for (const std::string& piece : pieces) {
    try {
      platform::SecurityId sid;
      if (platform::ConvertStringSidToSid(piece, &sid)) {
        criterion.groupSids.push_back(std::make_shared<const platform::SecurityId>(sid));
        continue;
      }
      const int error = static_cast<int>(GetLastError());
      ReportText(kReportError,
                 "Reading Groups from Criteria %d %s got an error %d for group %s. This group "
                 "will be ignored",
                 criterion.id, criterion.name.c_str(), error, piece.c_str());
      Log("Reading Groups from Criteria %d %s got an error %d for group %s. This group will be "
          "ignored",
          criterion.id, criterion.name.c_str(), error, piece.c_str());
    } catch (...) {
      Log("ParseGroups got an EXCEPTION for user/group %s", piece.c_str());
      ReportText(kReportError,
                 "Reading Groups from Global settings got an unexpected exception for "
                 "User/Group %s. This group will be ignored",
                 piece.c_str());
    }
  }
}

void CCriteriaSettings::CarryOver(const CCriteriaSettings& previous) {
  dropDisabled = previous.dropDisabled;
  SetRefreshInterval(previous.RefreshInterval());
  SetClock(previous.GetClock());
  kindsMask_ = previous.kindsMask_;
}

bool CCriteriaSettings::GetGeneralInt(int32_t id, int32_t& value) const {
  return ItemInt(general_, id, value);
}

bool CCriteriaSettings::GetGeneralString(int32_t id, std::string& value) const {
  return ItemText(general_, id, value);
}

const CCriterion* CCriteriaSettings::Find(int32_t criterionId) const {
  auto found = criteria_.find(criterionId);
  return found == criteria_.end() ? nullptr : found->second.get();
}

bool CCriteriaSettings::GetCriterionInt(int32_t itemId, int32_t& value, int32_t criterionId) const {
  const CCriterion* criterion = Find(criterionId);
  return criterion != nullptr && GetCriterionInt(itemId, value, *criterion);
}

bool CCriteriaSettings::GetCriterionString(int32_t itemId, std::string& value,
                                           int32_t criterionId) const {
  const CCriterion* criterion = Find(criterionId);
  return criterion != nullptr && GetCriterionString(itemId, value, *criterion);
}

bool CCriteriaSettings::GetCriterionInt(int32_t itemId, int32_t& value, const CCriterion& criterion) {
  return ItemInt(criterion.items, itemId, value);
}

bool CCriteriaSettings::GetCriterionString(int32_t itemId, std::string& value,
                                           const CCriterion& criterion) {
  return ItemText(criterion.items, itemId, value);
}

}  // namespace nexoral
