// The property text: all of one user's custom properties as one string,
// "<SETTINGS><name>value</name>...</SETTINGS>", as the property cache holds it. The text is not
// parsed as XML: a value is what stands between the first start tag of its name and the first
// end tag after it. Values are escaped ("&", "<", ">") when they go in and unescaped when they
// are read, so no value can forge or cut an element; names must be plain XML names. Pure
// functions of their arguments (besides the log and event lines), callable from any thread.
#ifndef NEXORAL_PROPERTIES_PROPERTY_TEXT_H
#define NEXORAL_PROPERTIES_PROPERTY_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>

#include "nexoral/custom_property.h"
#include "nexoral/win_types.h"

namespace nexoral {

class CExchangeAccess;

// The root start tag; a text must be longer than it to take an inserted element.
inline constexpr size_t kPropertyRootChars = 10;

// [A-Za-z_][A-Za-z0-9_.-]*: the only names that become tags.
bool IsPlainPropertyName(std::string_view name);
// Appends value with "&", "<" and ">" written as "&amp;", "&lt;" and "&gt;".
void AppendEscapedPropertyValue(std::string& text, std::string_view value);
// The reverse of the escaping for those three entities; any other "&" stays as it is.
std::string UnescapePropertyValue(std::string_view value);

// Sets every property's Value from the text (empty when its element is missing).
void ParseXMLProperties(const std::string& text, CustomPropertyList& props);
// Marks the first property with that id Loaded; true when its element is in the text.
bool FindPropertyInXML(const std::string& text, CustomPropertyList& props, int32_t id);
// Removes the element of the property with that id from the text; false only when no property
// has that id (reported).
bool RemovePropertyFromXML(std::string& text, const CustomPropertyList& props, int32_t id);
// An empty text becomes the whole text of props; otherwise the Loaded properties are written
// into it. False when a property could not go into a text too short to hold it (reported).
bool BuildXMLProperties(std::string& text, const CustomPropertyList& props);
// Appends the trace form of the list to text.
void DumpCustomProperties(std::string& text, const CustomPropertyList& props);

// Logs and reports a failed mailbox call with the request's particulars, the component's last
// error and the dump of the properties concerned.
void LogEWSError(CExchangeAccess& access, const std::string& session, const std::string& user,
                 const std::string& ewsUrl, std::string message, HRESULT hr,
                 const std::string& authType, const std::string& dump);

}  // namespace nexoral

#endif  // NEXORAL_PROPERTIES_PROPERTY_TEXT_H
