// Loading of the core settings file into a private load context, the commit that swaps it in,
// the default custom properties text, and the lookups.
#include "settings/core_settings.h"

#include <new>
#include <optional>
#include <utility>

#include "diagnostics/log.h"
#include "platform/com_errors.h"
#include "platform/error_codes.h"
#include "properties/property_text.h"
#include "settings/split_string.h"
#include "settings/value_rules.h"

namespace nexoral {
namespace {

using Names = CBasicSettings::AttributeList;

Names NamesOf(std::initializer_list<const char*> names) {
  Names list;
  for (const char* name : names) list.push_back({name, Variant()});
  return list;
}

const Names& ItemNames() {
  static const Names names = NamesOf({"ID", "DESCR", "VALUE"});
  return names;
}
const Names& RuleNames() {
  static const Names names = NamesOf({"FOLDER", "FOLDERONLY", "Type"});
  return names;
}
const Names& RuleInfoNames() {
  static const Names names = NamesOf({"Type", "PARAM", "SUBFOLDER", "EXTENSIONS"});
  return names;
}
const Names& ServiceWorkerNames() {
  static const Names names = NamesOf({"ID", "DESCR"});
  return names;
}
const Names& PropertyNames() {
  static const Names names = NamesOf({"ID", "NAME", "TYPE", "GUID", "VALUE"});
  return names;
}

const FolderRuleList& EmptyRules() {
  static const FolderRuleList empty;
  return empty;
}

std::vector<std::string> ListOf(const Variant& value) {
  std::vector<std::string> pieces;
  if (value.IsText()) SplitString(value.Text(), ";", pieces);
  return pieces;
}

}  // namespace

// What one load reads, apart from the live tables until the commit.
struct CCoreSettings::LoadContext {
  std::vector<int32_t> order;
  SettingsItemMap coreItems;
  std::map<int32_t, ServiceWorkerSettingsHandle> serviceWorkers;
  FolderRuleList exclusions;
  // The service worker whose elements are being read; none after an element without a
  // usable id, whose content is then skipped.
  std::optional<int32_t> currentId;

  ServiceWorkerSettings* Current() {
    if (!currentId) return nullptr;
    auto found = serviceWorkers.find(*currentId);
    return found == serviceWorkers.end() ? nullptr : found->second.get();
  }
};

HRESULT CCoreSettings::Load(const std::string& fileName) {
  HRESULT result = kSOk;
  try {
    FileTime dateBeforeParse;
    result = BeginLoad(fileName, dateBeforeParse);
    if (Failed(result)) return result;
    LoadContext context;
    ReadFile(fileName, context);
    Commit(context);
    CommitLoadDate(dateBeforeParse);
  } catch (const CAtlException& failure) {
    result = failure.m_hr;
    Log("LoadCoreSettings HRESULT exception %x", static_cast<unsigned>(result));
  } catch (const _com_error& failure) {
    result = failure.Error();
    Log("LoadCoreSettings com exception %x", static_cast<unsigned>(result));
  } catch (const std::bad_alloc&) {
    result = kEOutOfMemory;
    Log("LoadCoreSettings HRESULT exception %x", static_cast<unsigned>(result));
  } catch (...) {
    result = kEUnexpected;
    Log("LoadCoreSettings General exception");
  }
  return result;
}

void CCoreSettings::ReadFile(const std::string& fileName, LoadContext& context) {
  XmlDocument document;
  ThrowIfFailed(LoadXmlFile(document, fileName));
  const XmlNode root = document.Root();
  ReadCoreItems(root, context);
  ReadCoreExclusions(root, context);
  ReadServiceWorkers(root, context);
}

void CCoreSettings::ReadCoreItems(const XmlNode& root, LoadContext& context) {
  XmlNode section;
  ThrowIfFailed(root.SelectSingleNode("SETTINGS/CORESETTINGS", section));
  _functTrans<CCoreSettings> addItem(this, &CCoreSettings::AddCoreItem, &context);
  ReadNodes(section, "ITEM", ItemNames(), addItem);
}

void CCoreSettings::ReadCoreExclusions(const XmlNode& root, LoadContext& context) {
  XmlNode section;
  ThrowIfFailed(root.SelectSingleNode("SETTINGS/EXCLUSIONS", section));
  ReadRules(section, "EXCLUDE", "EXCLUDEINFO", context.exclusions);
}

void CCoreSettings::ReadServiceWorkers(const XmlNode& root, LoadContext& context) {
  XmlNode section;
  ThrowIfFailed(root.SelectSingleNode("SETTINGS/SERVICEWORKERS", section));
  _functTrans<CCoreSettings> addWorker(this, &CCoreSettings::AddServiceWorker, &context);
  _functTrans<CCoreSettings> addItem(this, &CCoreSettings::AddServiceWorkerItem, &context);
  ReadNodesWithChildren(section, "SERVICEWORKER", ServiceWorkerNames(), addWorker, "ITEM",
                        ItemNames(), &addItem, &context);
}

void CCoreSettings::ReadRules(const XmlNode& parent, const char* ruleName,
                              const char* infoName, FolderRuleList& rules) {
  _functTrans<CCoreSettings> addRule(this, &CCoreSettings::AddRule, &rules);
  _functTrans<CCoreSettings> addInfo(this, &CCoreSettings::AddRuleInfo, &rules);
  ReadNodesWithChildren(parent, ruleName, RuleNames(), addRule, infoName, RuleInfoNames(),
                        &addInfo, nullptr);
}

HRESULT CCoreSettings::ProcessNode(const XmlNode& element, void* context) {
  LoadContext& load = *static_cast<LoadContext*>(context);
  ServiceWorkerSettings* current = load.Current();
  if (current == nullptr) return kSOk;

  XmlNode properties;
  ThrowIfFailed(element.SelectSingleNode("CUSTOMPROPERTIES", properties));
  _functTrans<CCoreSettings> addProperty(this, &CCoreSettings::AddCustomProperty, &load);
  ReadNodes(properties, "PROPERTY", PropertyNames(), addProperty);

  XmlNode subscriptions;
  ThrowIfFailed(element.SelectSingleNode("SUBSCRIBTIONS", subscriptions));
  ReadRules(subscriptions, "SUBSCRIBE", "SEACHINFO", current->Subscriptions);
  ReadRules(subscriptions, "EXCLUDE", "EXCLUDEINFO", current->Exclusions);
  return kSOk;
}

bool CCoreSettings::AddCoreItem(AttributeList& attributes, void* context) {
  SettingsItem item;
  if (attributes.size() != ItemNames().size() || !ParseItem(attributes, item)) return false;
  static_cast<LoadContext*>(context)->coreItems[item.ID] = std::move(item);
  return true;
}

bool CCoreSettings::AddServiceWorker(AttributeList& attributes, void* context) {
  LoadContext& load = *static_cast<LoadContext*>(context);
  if (attributes.size() != ServiceWorkerNames().size()) return false;
  int32_t id = 0;
  if (!ReadIntegerValue(attributes[0].value, id)) {
    load.currentId.reset();
    return false;
  }
  load.currentId = id;
  const Variant& description = attributes[1].value;
  ServiceWorkerSettings* existing = load.Current();
  if (existing != nullptr) {
    ReadTextValue(description, existing->Name);
    return true;
  }
  ServiceWorkerSettingsHandle record(new ServiceWorkerSettings());
  record->ID = id;
  ReadTextValue(description, record->Name);
  load.serviceWorkers.emplace(id, record);
  load.order.push_back(id);
  return true;
}

bool CCoreSettings::AddServiceWorkerItem(AttributeList& attributes, void* context) {
  ServiceWorkerSettings* current = static_cast<LoadContext*>(context)->Current();
  SettingsItem item;
  if (current == nullptr || attributes.size() != ItemNames().size() ||
      !ParseItem(attributes, item)) {
    return false;
  }
  current->Items[item.ID] = std::move(item);
  return true;
}

bool CCoreSettings::AddCustomProperty(AttributeList& attributes, void* context) {
  ServiceWorkerSettings* current = static_cast<LoadContext*>(context)->Current();
  if (current == nullptr || attributes.size() != PropertyNames().size()) return false;
  CustomPropertyDef property;
  property.ServiceWorkerId = current->ID;
  ReadIntegerValue(attributes[0].value, property.ID);
  ReadTextValue(attributes[1].value, property.Name);
  ReadIntegerValue(attributes[2].value, property.Type);
  ReadTextValue(attributes[3].value, property.Guid);
  ReadTextValue(attributes[4].value, property.Value);
  property.Loaded = false;
  // A name becomes a tag of every user's property text: one that is not a plain XML name could
  // forge or cut other properties' elements, so it never enters the table.
  if (!property.Name.empty() && !IsPlainPropertyName(property.Name)) {
    Log("LoadCoreSettings skipped property %d of SW %d: \"%s\" is not a plain XML name", property.ID,
        property.ServiceWorkerId, property.Name.c_str());
    return false;
  }
  current->CustomProperties.push_back(std::move(property));
  return true;
}

bool CCoreSettings::AddRule(AttributeList& attributes, void* rules) {
  if (attributes.size() != RuleNames().size()) return false;
  FolderRule rule;
  ReadTextValue(attributes[0].value, rule.Folder);
  rule.FolderOnly = IsFlagSet(attributes[1].value);
  ReadIntegerValue(attributes[2].value, rule.Type);
  static_cast<FolderRuleList*>(rules)->push_back(std::move(rule));
  return true;
}

bool CCoreSettings::AddRuleInfo(AttributeList& attributes, void* rules) {
  FolderRuleList& list = *static_cast<FolderRuleList*>(rules);
  if (attributes.size() != RuleInfoNames().size() || list.empty()) return false;
  FolderRuleInfo info;
  ReadIntegerValue(attributes[0].value, info.Type);
  info.Params = ListOf(attributes[1].value);
  ReadTextValue(attributes[2].value, info.SubFolder);
  info.Extensions = ListOf(attributes[3].value);
  list.back().Infos.push_back(std::move(info));
  return true;
}

void CCoreSettings::Commit(LoadContext& context) {
  // Everything that may fail is built first; the swaps cannot fail.
  std::string defaults;
  std::vector<CustomPropertyDef> table;
  BuildDefaultCustomProperties(context.serviceWorkers, defaults, table);
  coreItems_.swap(context.coreItems);
  serviceWorkers_.swap(context.serviceWorkers);
  serviceWorkerOrder_.swap(context.order);
  coreExclusions_.swap(context.exclusions);
  defaultCustomProperties_.swap(defaults);
  customPropertyTable_.swap(table);
}

void CCoreSettings::BuildDefaultCustomProperties(
    const std::map<int32_t, ServiceWorkerSettingsHandle>& workers, std::string& text,
    std::vector<CustomPropertyDef>& table) {
  for (const auto& [id, worker] : workers) {
    if (worker->CustomProperties.empty()) continue;
    table.insert(table.end(), worker->CustomProperties.begin(), worker->CustomProperties.end());
    if (text.empty()) text = "<SETTINGS>";
    for (const CustomPropertyDef& property : worker->CustomProperties) {
      if (property.Name.empty()) {
        Log("GetDefaultCustomProperties got an empty property name for SW %d %s", id,
            worker->Name.c_str());
        continue;
      }
      text += "<" + property.Name + ">";
      AppendEscapedPropertyValue(text, property.Value);
      text += "</" + property.Name + ">";
    }
  }
  if (!text.empty()) text += "</SETTINGS>";
}

bool CCoreSettings::GetItemValue(int32_t id, int32_t& value) const {
  auto found = coreItems_.find(id);
  return found != coreItems_.end() && ReadIntegerValue(found->second.VALUE, value);
}

bool CCoreSettings::GetItemValue(int32_t id, std::string& value) const {
  auto found = coreItems_.find(id);
  return found != coreItems_.end() && ReadTextValue(found->second.VALUE, value);
}

ServiceWorkerSettingsHandle CCoreSettings::GetServiceWorker(int32_t serviceWorkerId) const {
  auto found = serviceWorkers_.find(serviceWorkerId);
  return found == serviceWorkers_.end() ? ServiceWorkerSettingsHandle() : found->second;
}

bool CCoreSettings::GetServiceWorkerItemValue(int32_t serviceWorkerId, int32_t id,
                                              int32_t& value) const {
  auto worker = serviceWorkers_.find(serviceWorkerId);
  if (worker == serviceWorkers_.end()) return false;
  auto found = worker->second->Items.find(id);
  return found != worker->second->Items.end() && ReadIntegerValue(found->second.VALUE, value);
}

bool CCoreSettings::GetServiceWorkerItemValue(int32_t serviceWorkerId, int32_t id,
                                              std::string& value) const {
  auto worker = serviceWorkers_.find(serviceWorkerId);
  if (worker == serviceWorkers_.end()) return false;
  auto found = worker->second->Items.find(id);
  return found != worker->second->Items.end() && ReadTextValue(found->second.VALUE, value);
}

const FolderRuleList& CCoreSettings::GetSubscriptions(int32_t serviceWorkerId) const {
  auto worker = serviceWorkers_.find(serviceWorkerId);
  return worker == serviceWorkers_.end() ? EmptyRules() : worker->second->Subscriptions;
}

const FolderRuleList& CCoreSettings::GetExclusions(int32_t serviceWorkerId) const {
  auto worker = serviceWorkers_.find(serviceWorkerId);
  return worker == serviceWorkers_.end() ? EmptyRules() : worker->second->Exclusions;
}

}  // namespace nexoral
