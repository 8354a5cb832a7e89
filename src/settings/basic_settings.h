// CBasicSettings: what the settings files share. It remembers the file, its date and the
// refresh interval; walks XML elements selected by XPath, reading their attributes into lists
// handed to member-function callbacks; decodes "ITEM" elements; and tells whether the file
// changed on disk. Each file class loads its own schema on top of these pieces.
//
// Calling order for one file: construct; Load (which ends with HashFileDate); lookups; now and
// then CheckForRefresh, and when it reports a change the owner loads the file again under its lock
// (into this object, or into a new one it publishes in its place).
// The file date advances only when a load succeeds, so a change that was not loaded (the
// owner's lock was busy, or the new file did not parse) is reported again by a later check.
//
// No lock here: the owner serialises lookups against a reload.
#ifndef NEXORAL_SETTINGS_BASIC_SETTINGS_H
#define NEXORAL_SETTINGS_BASIC_SETTINGS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "nexoral/win_types.h"
#include "platform/file_time.h"
#include "platform/variant.h"
#include "platform/xml_document.h"
#include "settings/settings_records.h"

namespace nexoral {

using platform::FileTime;
using platform::XmlDocument;
using platform::XmlNode;

// The result of Load for a settings file that does not exist.
inline constexpr HRESULT kSettingsFileNotFound = static_cast<HRESULT>(0x80070002u);
// Id texts this long or longer make an "ITEM" invalid.
inline constexpr size_t kItemIdTextLimit = 20;
// Minutes between two examinations of the file after construction.
inline constexpr int32_t kDefaultRefreshMinutes = 15;

class CBasicSettings {
 public:
  // An attribute name and the value read for it (empty when it was not read).
  struct TAGITEM {
    std::string name;
    Variant value;
  };
  using AttributeList = std::vector<TAGITEM>;

  // A callback of the element walkers: called with the filled attribute list of one element.
  class _functBaseTrans {
   public:
    virtual ~_functBaseTrans() = default;
    virtual bool operator()(AttributeList& attributes) = 0;
  };

  // Calls a member of a settings class with the list and a stored context.
  template <class Settings>
  class _functTrans final : public _functBaseTrans {
   public:
    using Member = bool (Settings::*)(AttributeList&, void*);
    _functTrans(Settings* target, Member member, void* context)
        : target_(target), member_(member), context_(context) {}
    bool operator()(AttributeList& attributes) override {
      return (target_->*member_)(attributes, context_);
    }

   private:
    Settings* target_;
    Member member_;
    void* context_;
  };

  // Where the current time comes from; tests replace it.
  using Clock = std::function<FileTime()>;

  CBasicSettings();
  virtual ~CBasicSettings() = default;
  CBasicSettings(const CBasicSettings&) = delete;
  CBasicSettings& operator=(const CBasicSettings&) = delete;

  // Called by ReadNodesWithChildren for each element it walks when a context is given, after
  // the element's and its children's callbacks. A failing result is thrown to Load.
  virtual HRESULT ProcessNode(const XmlNode& element, void* context);
  // Reads the whole file; the tables change only when the load succeeds.
  virtual HRESULT Load(const std::string& fileName) = 0;

  // Whether the file changed on disk since the content in memory was read from it. Examines
  // the file at most once per refresh interval; changed is set (true) only on a change.
  HRESULT CheckForRefresh(bool& changed);
  // Stores the file's current last-write time as the date of the content in memory.
  void HashFileDate();

  const std::string& FileName() const { return fileName_; }
  FileTime FileDate() const { return fileDate_; }
  FileTime LastCheck() const { return lastCheck_; }
  int32_t RefreshInterval() const { return refreshInterval_; }
  void SetRefreshInterval(int32_t minutes) { refreshInterval_ = minutes; }
  void SetClock(Clock clock);
  const Clock& GetClock() const { return clock_; }

 protected:
  // For each element the XPath selects below parent: read the named attributes into a copy
  // of names and call the callback. A null parent selects nothing. Failures are thrown.
  void ReadNodes(const XmlNode& parent, const std::string& xpath, const AttributeList& names,
                 _functBaseTrans& callback);
  // ReadNodes, and for each selected element then the children the child XPath selects (with
  // their own names and callback), then ProcessNode when context is not null.
  void ReadNodesWithChildren(const XmlNode& parent, const std::string& xpath,
                             const AttributeList& names, _functBaseTrans& callback,
                             const std::string& childXPath, const AttributeList& childNames,
                             _functBaseTrans* childCallback, void* context);
  // Fills the values of list from the element's attributes, in order, stopping at the first
  // attribute the element lacks (that value and all later ones stay empty).
  static HRESULT ReadAttributes(const XmlNode& element, AttributeList& list);
  // Decodes an "ID", "DESCR", "VALUE" list; false when the id is unusable.
  static bool ParseItem(const AttributeList& list, SettingsItem& item);

  // The start of every load: remembers the name and checks that the file exists. On success
  // dateBeforeParse holds the file's last-write time; a missing file is logged and gives
  // kSettingsFileNotFound (or the HRESULT of the error that hid it).
  HRESULT BeginLoad(const std::string& fileName, FileTime& dateBeforeParse);
  // The end of a successful load: the last check is now and the file date the one the parsed
  // content came from (the earlier of the date before parsing and the date now, so a write
  // made while parsing is seen by the next check).
  void CommitLoadDate(FileTime dateBeforeParse);

  FileTime Now() const { return clock_(); }
  // Throws a failing result to the end of Load.
  static void ThrowIfFailed(HRESULT result);

 private:
  FileTime fileDate_;
  FileTime lastCheck_;
  std::string fileName_;
  int32_t refreshInterval_ = kDefaultRefreshMinutes;
  Clock clock_;
};

// Loads a file into document. Writes "XML document loaded successfully", or the parser's reason
// and place, to the standard error stream. Returns 0 or the failure.
HRESULT LoadXmlFile(XmlDocument& document, const std::string& fileName);

}  // namespace nexoral

#endif  // NEXORAL_SETTINGS_BASIC_SETTINGS_H
