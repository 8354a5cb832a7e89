// The XML document layer the settings files are read through: loading a file with a parse-error
// report, XPath selections from the document or an element, and attribute values as Variants
// (always text: the files carry no type information). Built on pugixml, which stays behind
// this header.
#ifndef NEXORAL_PLATFORM_XML_DOCUMENT_H
#define NEXORAL_PLATFORM_XML_DOCUMENT_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "nexoral/win_types.h"
#include "platform/variant.h"

namespace pugi {
struct xml_node_struct;
class xml_document;
}  // namespace pugi

namespace nexoral::platform {

// Largest settings file the layer reads; a larger one fails with kXmlFileTooLarge.
inline constexpr size_t kMaxXmlFileBytes = 64u << 20;

// The result of a document that is not well-formed (or has no single document element).
inline constexpr HRESULT kXmlParseFailed = static_cast<HRESULT>(0x8007000Du);  // invalid data
// The result of a file above kMaxXmlFileBytes.
inline constexpr HRESULT kXmlFileTooLarge = static_cast<HRESULT>(0x800700DFu);

// What went wrong in the last load. code is 0 after a successful one.
struct XmlParseError {
  HRESULT code = 0;
  std::string reason;  // the parser's reason text
  long line = 0;       // 1-based; 0 when the failure has no place in the text
  long linePos = 0;    // 1-based column in that line
  std::string url;     // the file
};

// One node of a loaded document: the document itself or an element. A default node is null.
// Valid while its document lives and is not reloaded.
class XmlNode {
 public:
  XmlNode() = default;

  bool IsNull() const { return node_ == nullptr; }
  std::string Name() const;

  // The nodes the XPath expression selects from this node, in document order. Fails with
  // kEInvalidArg for an expression that does not compile or does not select nodes, and with
  // kEOutOfMemory when memory runs out; out is cleared first.
  HRESULT SelectNodes(const std::string& xpath, std::vector<XmlNode>& out) const;
  // The first node selected, or a null node when there is none.
  HRESULT SelectSingleNode(const std::string& xpath, XmlNode& out) const;

  // The value of the named attribute as text; false when the element has no such attribute.
  bool GetAttribute(const std::string& name, Variant& value) const;

 private:
  friend class XmlDocument;
  explicit XmlNode(pugi::xml_node_struct* node) : node_(node) {}

  pugi::xml_node_struct* node_ = nullptr;
};

class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Reads and parses the whole file, replacing any earlier content. Returns 0 on success, the
  // HRESULT of the system error when the file cannot be read, kXmlFileTooLarge, or
  // kXmlParseFailed; error describes the outcome either way.
  HRESULT LoadFile(const std::string& path, XmlParseError& error);
  // Parses text held in memory (url names it in the report); same results as LoadFile.
  HRESULT LoadText(const std::string& text, const std::string& url, XmlParseError& error);

  // The document node: the XPath expressions of the settings files start here.
  XmlNode Root() const;

 private:
  std::unique_ptr<pugi::xml_document> document_;
};

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_XML_DOCUMENT_H
