// The shared machinery of the settings files: the element walkers, the item decoder, the file
// date and the change test.
#include "settings/basic_settings.h"

#include <cstdio>
#include <utility>

#include "diagnostics/log.h"
#include "platform/com_errors.h"
#include "platform/error_codes.h"
#include "settings/value_rules.h"

namespace nexoral {
namespace {

using platform::ReadFileLastWriteTime;
using platform::SplitUtc;
using platform::UnixSecondsOf;
using platform::UtcFields;

constexpr size_t kItemId = 0;
constexpr size_t kItemDescr = 1;
constexpr size_t kItemValue = 2;
constexpr size_t kItemFields = 3;

}  // namespace

CBasicSettings::CBasicSettings() : clock_(platform::CurrentFileTime) {}

void CBasicSettings::SetClock(Clock clock) {
  clock_ = clock ? std::move(clock) : Clock(platform::CurrentFileTime);
}

HRESULT CBasicSettings::ProcessNode(const XmlNode&, void*) { return kSOk; }

void CBasicSettings::ThrowIfFailed(HRESULT result) {
  if (Failed(result)) AtlThrow(result);
}

void CBasicSettings::ReadNodes(const XmlNode& parent, const std::string& xpath,
                               const AttributeList& names, _functBaseTrans& callback) {
  if (parent.IsNull()) return;
  std::vector<XmlNode> elements;
  ThrowIfFailed(parent.SelectNodes(xpath, elements));
  for (const XmlNode& element : elements) {
    if (element.IsNull() || names.empty()) continue;
    AttributeList attributes = names;
    ThrowIfFailed(ReadAttributes(element, attributes));
    callback(attributes);
  }
}

void CBasicSettings::ReadNodesWithChildren(const XmlNode& parent, const std::string& xpath,
                                           const AttributeList& names,
                                           _functBaseTrans& callback,
                                           const std::string& childXPath,
                                           const AttributeList& childNames,
                                           _functBaseTrans* childCallback, void* context) {
  if (parent.IsNull()) return;
  std::vector<XmlNode> elements;
  ThrowIfFailed(parent.SelectNodes(xpath, elements));
  for (const XmlNode& element : elements) {
    if (element.IsNull()) continue;
    if (!names.empty()) {
      AttributeList attributes = names;
      ThrowIfFailed(ReadAttributes(element, attributes));
      callback(attributes);
    }
    if (!childXPath.empty() && !childNames.empty() && childCallback != nullptr) {
      ReadNodes(element, childXPath, childNames, *childCallback);
    }
    if (context != nullptr) ThrowIfFailed(ProcessNode(element, context));
  }
}

HRESULT CBasicSettings::ReadAttributes(const XmlNode& element, AttributeList& list) {
  for (TAGITEM& entry : list) entry.value = Variant();
  for (TAGITEM& entry : list) {
    if (!element.GetAttribute(entry.name, entry.value)) break;
  }
  return kSOk;
}

bool CBasicSettings::ParseItem(const AttributeList& list, SettingsItem& item) {
  if (list.size() != kItemFields) return false;
  const Variant& id = list[kItemId].value;
  if (id.IsText()) {
    if (id.Text().size() >= kItemIdTextLimit) return false;
    item.ID = IntegerFromText(id.Text());
  } else if (id.IsInt32()) {
    item.ID = id.Int32();
  } else {
    return false;  // no usable id: the item is dropped
  }
  ReadTextValue(list[kItemDescr].value, item.DESCR);
  item.VALUE = list[kItemValue].value;
  return true;
}

HRESULT CBasicSettings::BeginLoad(const std::string& fileName, FileTime& dateBeforeParse) {
  fileName_ = fileName;
  const DWORD code = ReadFileLastWriteTime(fileName, dateBeforeParse);
  if (code == kErrorSuccess) return kSOk;
  Log("Load LoadSettings can not find file %s error %d", fileName.c_str(),
      static_cast<int>(code));
  return HresultFromWin32(code);
}

void CBasicSettings::CommitLoadDate(FileTime dateBeforeParse) {
  lastCheck_ = Now();
  fileDate_ = lastCheck_;
  HashFileDate();
  if (dateBeforeParse.ticks != 0 && dateBeforeParse < fileDate_) fileDate_ = dateBeforeParse;
}

void CBasicSettings::HashFileDate() {
  FileTime onDisk;
  const DWORD code = ReadFileLastWriteTime(fileName_, onDisk);
  if (code == kErrorSuccess) {
    fileDate_ = onDisk;
    return;
  }
  Log("CBasicSettings::HashFileDate failed to read filedate %s. HR 0x%x", fileName_.c_str(),
      static_cast<unsigned>(HresultFromWin32(code)));
}

HRESULT CBasicSettings::CheckForRefresh(bool& changed) {
  const FileTime now = Now();
  const int64_t elapsedMinutes = (UnixSecondsOf(now) - UnixSecondsOf(lastCheck_)) / 60;
  // A clock set back makes the elapsed time negative: examine the file rather than wait for
  // the clock to catch up.
  const bool due = elapsedMinutes < 0 || elapsedMinutes >= refreshInterval_;
  if (!due || fileName_.empty()) return kSOk;

  FileTime onDisk;
  const DWORD code = ReadFileLastWriteTime(fileName_, onDisk);
  if (code != kErrorSuccess) {
    const HRESULT result = HresultFromWin32(code);
    LogError(static_cast<DWORD>(result), "GetFileDate %s", fileName_.c_str());
    return result;
  }
  if (onDisk > fileDate_) {
    const UtcFields current = SplitUtc(onDisk);
    const UtcFields previous = SplitUtc(fileDate_);
    const std::string what = "Reload Settings " + fileName_;
    Log("%s. Curent LastModifiedDate %d.%d.%d - %d:%d:%d:%d Interval: %d minutes", what.c_str(),
        current.day, current.month, current.year, current.hour, current.minute, current.second,
        current.millisecond, refreshInterval_);
    Log("Previous LastModifiedDate %d.%d.%d - %d:%d:%d:%d", previous.day, previous.month,
        previous.year, previous.hour, previous.minute, previous.second, previous.millisecond);
    changed = true;
  }
  lastCheck_ = now;
  return kSOk;
}

HRESULT LoadXmlFile(XmlDocument& document, const std::string& fileName) {
  platform::XmlParseError error;
  const HRESULT result = document.LoadFile(fileName, error);
  if (Succeeded(result)) {
    std::fputs("XML document loaded successfully\n", stderr);
    return result;
  }
  std::fprintf(stderr, "%s\n", error.reason.c_str());
  if (error.line > 0) {
    std::fprintf(stderr, "Error on line %ld, position %ld in \"%s\".\n", error.line,
                 error.linePos, error.url.c_str());
  }
  return result;
}

}  // namespace nexoral
