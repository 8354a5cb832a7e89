// CCoreSettings: the core settings file, CoreSettings.xml. Holds the numbered core items, the
// URL folders no request handling applies to, and the service workers with their items,
// custom properties and URL rules; answers the lookups. Read once at start-up by its owner,
// which serialises every lookup against a load with its own lock.
//
// Schema (names are case-sensitive; every attribute is text):
//   SETTINGS
//     CORESETTINGS / ITEM(ID, DESCR, VALUE)
//     EXCLUSIONS / EXCLUDE(FOLDER, FOLDERONLY, Type) / EXCLUDEINFO(Type, PARAM, SUBFOLDER,
//                                                                  EXTENSIONS)
//     SERVICEWORKERS / SERVICEWORKER(ID, DESCR)
//       ITEM(ID, DESCR, VALUE)
//       CUSTOMPROPERTIES / PROPERTY(ID, NAME, TYPE, GUID, VALUE)
//       SUBSCRIBTIONS / SUBSCRIBE(FOLDER, FOLDERONLY, Type) / SEACHINFO(Type, PARAM, SUBFOLDER,
//                                                                       EXTENSIONS)
//                     EXCLUDE(...) / EXCLUDEINFO(...)
// Attributes are read in the order listed; reading stops at the first one an element lacks.
#ifndef NEXORAL_SETTINGS_CORE_SETTINGS_H
#define NEXORAL_SETTINGS_CORE_SETTINGS_H

#include <map>
#include <string>
#include <vector>

#include "settings/basic_settings.h"
#include "settings/settings_records.h"

namespace nexoral {

class CCoreSettings : public CBasicSettings {
 public:
  CCoreSettings() = default;

  // Reads the whole file; on any failure the tables stay as they were and the failure is
  // logged and returned.
  HRESULT Load(const std::string& fileName) override;
  // Reads "CUSTOMPROPERTIES" and "SUBSCRIBTIONS" of a "SERVICEWORKER" element.
  HRESULT ProcessNode(const XmlNode& element, void* context) override;

  // A core item as a number (from a number or a text) or as text (from a text only); false
  // when the id is absent or its value has another type.
  bool GetItemValue(int32_t id, int32_t& value) const;
  bool GetItemValue(int32_t id, std::string& value) const;
  // The same for an item of a service worker; false when either is absent.
  bool GetServiceWorkerItemValue(int32_t serviceWorkerId, int32_t id, int32_t& value) const;
  bool GetServiceWorkerItemValue(int32_t serviceWorkerId, int32_t id, std::string& value) const;

  // A service worker's rules; an empty list when there is no service worker with that id.
  const FolderRuleList& GetSubscriptions(int32_t serviceWorkerId) const;
  const FolderRuleList& GetExclusions(int32_t serviceWorkerId) const;
  // The service worker with that id, or a null handle.
  ServiceWorkerSettingsHandle GetServiceWorker(int32_t serviceWorkerId) const;

  const SettingsItemMap& CoreItems() const { return coreItems_; }
  const std::map<int32_t, ServiceWorkerSettingsHandle>& ServiceWorkers() const {
    return serviceWorkers_;
  }
  // Service-worker ids in the order of their first element in the file.
  const std::vector<int32_t>& ServiceWorkerOrder() const { return serviceWorkerOrder_; }
  const FolderRuleList& CoreExclusions() const { return coreExclusions_; }
  // "<SETTINGS><name>default</name>...</SETTINGS>" over every defined property (defaults escaped
  // as in every property text, properties/property_text.h); empty when no
  // service worker defines one.
  const std::string& DefaultCustomProperties() const { return defaultCustomProperties_; }
  // Every service worker's property definitions, by ascending service-worker id.
  const std::vector<CustomPropertyDef>& CustomPropertyTable() const {
    return customPropertyTable_;
  }

 private:
  struct LoadContext;

  void ReadFile(const std::string& fileName, LoadContext& context);
  void ReadCoreItems(const XmlNode& root, LoadContext& context);
  void ReadCoreExclusions(const XmlNode& root, LoadContext& context);
  void ReadServiceWorkers(const XmlNode& root, LoadContext& context);
  void ReadRules(const XmlNode& parent, const char* ruleName, const char* infoName,
                 FolderRuleList& rules);
  void Commit(LoadContext& context);
  // The default custom properties text and the property table of a service-worker map.
  static void BuildDefaultCustomProperties(
      const std::map<int32_t, ServiceWorkerSettingsHandle>& workers, std::string& text,
      std::vector<CustomPropertyDef>& table);

  // The element callbacks; the context is the LoadContext of the running load.
  bool AddCoreItem(AttributeList& attributes, void* context);
  bool AddServiceWorker(AttributeList& attributes, void* context);
  bool AddServiceWorkerItem(AttributeList& attributes, void* context);
  bool AddCustomProperty(AttributeList& attributes, void* context);
  bool AddRule(AttributeList& attributes, void* rules);
  bool AddRuleInfo(AttributeList& attributes, void* rules);

  SettingsItemMap coreItems_;
  std::map<int32_t, ServiceWorkerSettingsHandle> serviceWorkers_;
  std::vector<int32_t> serviceWorkerOrder_;
  FolderRuleList coreExclusions_;
  std::string defaultCustomProperties_;
  std::vector<CustomPropertyDef> customPropertyTable_;
};

}  // namespace nexoral

#endif  // NEXORAL_SETTINGS_CORE_SETTINGS_H
