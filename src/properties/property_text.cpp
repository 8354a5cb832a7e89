// The property text helpers and the failure report of a mailbox call.
#include "properties/property_text.h"

#include <optional>

#include "diagnostics/event_log.h"
#include "diagnostics/log.h"
#include "platform/error_codes.h"
#include "properties/exchange_access.h"

namespace nexoral {
namespace {

// Where a property's element stands in a text.
struct Element {
  size_t start;       // its start tag
  size_t valueStart;  // just after the start tag
  size_t valueEnd;    // its end tag
  size_t end;         // just after the end tag
};

std::string StartTag(std::string_view name) {
  std::string tag = "<";
  tag += name;
  tag += '>';
  return tag;
}

// The first start tag of name and the first end tag after it; nothing when either is missing
// or the name could not be a tag.
std::optional<Element> FindElement(std::string_view text, std::string_view name) {
  if (!IsPlainPropertyName(name)) return std::nullopt;
  std::string tag = StartTag(name);
  const size_t start = text.find(tag);
  if (start == std::string_view::npos) return std::nullopt;
  const size_t valueStart = start + tag.size();
  tag.insert(1, 1, '/');
  const size_t valueEnd = text.find(tag, valueStart);
  if (valueEnd == std::string_view::npos) return std::nullopt;
  return Element{start, valueStart, valueEnd, valueEnd + tag.size()};
}

bool HasStartTag(std::string_view text, std::string_view name) {
  return text.find(StartTag(name)) != std::string_view::npos;
}

void AppendElement(std::string& text, const CustomPropertyDef& prop) {
  text += '<';
  text += prop.Name;
  text += '>';
  AppendEscapedPropertyValue(text, prop.Value);
  text += "</";
  text += prop.Name;
  text += '>';
}

// The first property with that id in props (a list, const or not), or null.
template <class List>
auto* PropertyWithId(List& props, int32_t id) {
  decltype(&props[0]) found = nullptr;
  for (auto& prop : props) {
    if (prop.ID == id) {
      found = &prop;
      break;
    }
  }
  return found;
}

}  // namespace

bool IsPlainPropertyName(std::string_view name) {
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (name.empty() || !letter(name.front())) return false;
  for (char c : name) {
    if (!letter(c) && !(c >= '0' && c <= '9') && c != '.' && c != '-') return false;
  }
  return true;
}

void AppendEscapedPropertyValue(std::string& text, std::string_view value) {
  for (char c : value) {
    switch (c) {
      case '&': text += "&amp;"; break;
      case '<': text += "&lt;"; break;
      case '>': text += "&gt;"; break;
      default: text += c;
    }
  }
}

std::string UnescapePropertyValue(std::string_view value) {
  static constexpr std::pair<std::string_view, char> kEntities[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}};
  std::string plain;
  plain.reserve(value.size());
  for (size_t at = 0; at < value.size();) {
    bool replaced = false;
    for (const auto& [entity, c] : kEntities) {
      if (value.substr(at, entity.size()) == entity) {
        plain += c;
        at += entity.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) plain += value[at++];
  }
  return plain;
}

void ParseXMLProperties(const std::string& text, CustomPropertyList& props) {
  Log("ParseXMLProperties begins");
  for (CustomPropertyDef& prop : props) {
    const std::optional<Element> element = FindElement(text, prop.Name);
    prop.Value = element ? UnescapePropertyValue(std::string_view(text).substr(
                               element->valueStart, element->valueEnd - element->valueStart))
                         : std::string();
  }
  Log("ParseXMLProperties ends");
}

bool FindPropertyInXML(const std::string& text, CustomPropertyList& props, int32_t id) {
  Log("FindPropertyInXML begins %d", id);
  CustomPropertyDef* prop = PropertyWithId(props, id);
  if (prop == nullptr) {
    Log("FindPropertyInXML didn't find the item %d in %s", id, text.c_str());
    return false;
  }
  prop->Loaded = true;
  const bool found = FindElement(text, prop->Name).has_value();
  Log("FindPropertyInXML ends ID: %d, %s", id, found ? "found" : "not found");
  return found;
}

bool RemovePropertyFromXML(std::string& text, const CustomPropertyList& props, int32_t id) {
  Log("RemovePropertyFromXML begins %d", id);
  const CustomPropertyDef* prop = PropertyWithId(props, id);
  if (prop == nullptr) {
    Log("RemovePropertyFromXML didn't find the item %d", id);
    ReportText(kReportError, "RemovePropertyFromXML %s didn't find the item %d", text.c_str(), id);
  } else if (const std::optional<Element> element = FindElement(text, prop->Name)) {
    text.erase(element->start, element->end - element->start);
    Log("RemovePropertyFromXML ID: %d, %s removed", id, prop->Name.c_str());
  }
  Log("RemovePropertyFromXML ends ID: %d, %d", id, prop != nullptr ? 1 : 0);
  return prop != nullptr;
}

bool BuildXMLProperties(std::string& text, const CustomPropertyList& props) {
  Log("BuildXMLProperties begins");
  bool result = true;
  const bool whole = text.empty();
  if (whole) text = "<SETTINGS>";
  for (const CustomPropertyDef& prop : props) {
    if (!IsPlainPropertyName(prop.Name)) {
      // Only names from the core settings file, checked there, should get here.
      if (!whole && !prop.Loaded) continue;
      if (prop.Name.empty()) {
        Log("BuildXMLProperties got an empty property name for SW %s",
            std::to_string(prop.ServiceWorkerId).c_str());
      } else {
        Log("BuildXMLProperties skipped the property name %s of SW %d: not a plain XML name",
            prop.Name.c_str(), prop.ServiceWorkerId);
      }
      continue;
    }
    if (whole) {
      AppendElement(text, prop);
      continue;
    }
    if (!prop.Loaded) continue;
    if (const std::optional<Element> element = FindElement(text, prop.Name)) {
      std::string value;
      AppendEscapedPropertyValue(value, prop.Value);
      text.replace(element->valueStart, element->valueEnd - element->valueStart, value);
    } else if (HasStartTag(text, prop.Name)) {
      continue;  // a start tag without its end tag: the text stays as it is
    } else if (text.size() > kPropertyRootChars) {
      std::string inserted;
      AppendElement(inserted, prop);
      text.insert(kPropertyRootChars, inserted);
    } else {
      Log("Invalid XML %s", text.c_str());
      ReportText(kReportError, "User Property wasn't updated. BuildXMLProperties got an invalid XML %s",
                 text.c_str());
      result = false;
    }
  }
  if (whole) text += "</SETTINGS>";
  Log("BuildXMLProperties ends");
  return result;
}

void DumpCustomProperties(std::string& text, const CustomPropertyList& props) {
  if (props.empty()) {
    text += " Empty Custom properties ";
    return;
  }
  text += " ,Items count: " + std::to_string(props.size());
  for (const CustomPropertyDef& prop : props) {
    text += " \r\nItem ID: " + std::to_string(prop.ID) + " ,SWID: " + std::to_string(prop.ServiceWorkerId) +
            " ,Type: " + std::to_string(prop.Type) + " ,GUID: " + prop.Guid + " ,Property Name: " + prop.Name +
            " ,Value: " + prop.Value + " ,Updated: " + (prop.Loaded ? "TRUE" : "FALSE");
  }
  text += "\r\n";
}

void LogEWSError(CExchangeAccess& access, const std::string& session, const std::string& user,
                 const std::string& ewsUrl, std::string message, HRESULT hr,
                 const std::string& authType, const std::string& dump) {
  message += " Username:" + user + " AuthType:" + authType + " Session: " + session + " EWS: " + ewsUrl;
  std::string errorText;
  int32_t errorNumber = 0;
  if (Succeeded(access.GetErrorInfo(&errorText, &errorNumber))) {
    if (!errorText.empty()) message += " " + errorText;
    if (errorNumber != 0) message += " " + std::to_string(errorNumber);
  }
  message += " Length: " + std::to_string(dump.size()) + "\r\n" + dump;
  Log("LogEWSError Length %d %s", static_cast<int>(message.size()), message.c_str());
  ReportText(kReportWarning, "%s. HR: 0x%x", message.c_str(), static_cast<unsigned>(hr));
}

}  // namespace nexoral
