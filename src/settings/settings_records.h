// The records the settings files are read into: a numbered item, the URL folder rules, and a
// service worker's settings.
#ifndef NEXORAL_SETTINGS_SETTINGS_RECORDS_H
#define NEXORAL_SETTINGS_SETTINGS_RECORDS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "nexoral/custom_property.h"
#include "nexoral/ref_handle.h"
#include "platform/variant.h"

namespace nexoral {

// One "ITEM" element: id, description and value as read.
struct SettingsItem {
  int32_t ID = 0;
  std::string DESCR;
  Variant VALUE;
};

// Items by id; ids are unique within a table.
using SettingsItemMap = std::map<int32_t, SettingsItem>;

// One "EXCLUDEINFO" or "SEACHINFO" element: a further condition of a folder rule.
struct FolderRuleInfo {
  int32_t Type = 0;
  std::string SubFolder;
  std::vector<std::string> Params;      // query parameters that must all have a value
  std::vector<std::string> Extensions;  // request extensions, compared ignoring case
};

// One "EXCLUDE" or "SUBSCRIBE" element: a URL folder and its conditions.
struct FolderRule {
  int32_t Type = 0;
  bool FolderOnly = false;  // the folder alone matches
  std::string Folder;
  std::vector<FolderRuleInfo> Infos;
};

using FolderRuleList = std::vector<FolderRule>;

// One "SERVICEWORKER" element (or several with the same id, merged).
struct ServiceWorkerSettings {
  int32_t ID = 0;
  std::string Name;
  SettingsItemMap Items;
  FolderRuleList Subscriptions;
  std::vector<CustomPropertyDef> CustomProperties;
  FolderRuleList Exclusions;
};

using ServiceWorkerSettingsHandle = CRefHandle<ServiceWorkerSettings>;

}  // namespace nexoral

#endif  // NEXORAL_SETTINGS_SETTINGS_RECORDS_H
