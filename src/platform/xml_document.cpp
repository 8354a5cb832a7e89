// The XML document layer over pugixml.
#include "platform/xml_document.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <pugixml.hpp>

#include "platform/error_codes.h"

namespace nexoral::platform {
namespace {

// Line and column (both 1-based) of a byte offset in text.
void PlaceOfOffset(const std::string& text, ptrdiff_t offset, long& line, long& column) {
  const size_t end = offset < 0 ? 0 : std::min(static_cast<size_t>(offset), text.size());
  line = 1;
  size_t lineStart = 0;
  for (size_t i = 0; i < end; ++i) {
    if (text[i] == '\n') {
      ++line;
      lineStart = i + 1;
    }
  }
  column = static_cast<long>(end - lineStart) + 1;
}

size_t CountDocumentElements(const pugi::xml_document& document) {
  size_t count = 0;
  for (pugi::xml_node child : document.children()) {
    if (child.type() == pugi::node_element) ++count;
  }
  return count;
}

// Reads the whole file into text; 0 or an HRESULT failure with the reason filled in.
HRESULT ReadWholeFile(const std::string& path, std::string& text, XmlParseError& error) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (descriptor < 0) {
    const DWORD code = ErrorCodeFromErrno(errno);
    error.reason = "The file cannot be opened.";
    return HresultFromWin32(code);
  }
  HRESULT result = kSOk;
  struct stat status {};
  if (fstat(descriptor, &status) != 0) {
    result = HresultFromWin32(ErrorCodeFromErrno(errno));
    error.reason = "The file cannot be examined.";
  } else if (!S_ISREG(status.st_mode)) {
    result = HresultFromWin32(kErrorAccessDenied);
    error.reason = "The path is not a regular file.";
  } else if (static_cast<unsigned long long>(status.st_size) > kMaxXmlFileBytes) {
    result = kXmlFileTooLarge;
    error.reason = "The file is larger than the settings reader accepts.";
  } else {
    text.resize(static_cast<size_t>(status.st_size));
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t got = read(descriptor, text.data() + done, text.size() - done);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        result = HresultFromWin32(ErrorCodeFromErrno(errno));
        error.reason = "The file cannot be read.";
        break;
      }
      if (got == 0) break;  // shrank while being read: parse what there is
      done += static_cast<size_t>(got);
    }
    text.resize(done);
  }
  close(descriptor);
  return result;
}

}  // namespace

std::string XmlNode::Name() const { return pugi::xml_node(node_).name(); }

HRESULT XmlNode::SelectNodes(const std::string& xpath, std::vector<XmlNode>& out) const {
  out.clear();
  try {
    const pugi::xpath_node_set selected = pugi::xml_node(node_).select_nodes(xpath.c_str());
    out.reserve(selected.size());
    for (const pugi::xpath_node& found : selected) {
      if (found.node()) out.push_back(XmlNode(found.node().internal_object()));
    }
    return kSOk;
  } catch (const pugi::xpath_exception&) {
    return kEInvalidArg;
  } catch (const std::bad_alloc&) {
    out.clear();
    return kEOutOfMemory;
  }
}

HRESULT XmlNode::SelectSingleNode(const std::string& xpath, XmlNode& out) const {
  out = XmlNode();
  try {
    const pugi::xpath_node found = pugi::xml_node(node_).select_node(xpath.c_str());
    if (found.node()) out = XmlNode(found.node().internal_object());
    return kSOk;
  } catch (const pugi::xpath_exception&) {
    return kEInvalidArg;
  } catch (const std::bad_alloc&) {
    return kEOutOfMemory;
  }
}

bool XmlNode::GetAttribute(const std::string& name, Variant& value) const {
  const pugi::xml_attribute attribute = pugi::xml_node(node_).attribute(name.c_str());
  if (!attribute) return false;
  value = Variant::FromText(attribute.value());
  return true;
}

XmlDocument::XmlDocument() : document_(std::make_unique<pugi::xml_document>()) {}
XmlDocument::~XmlDocument() = default;

HRESULT XmlDocument::LoadFile(const std::string& path, XmlParseError& error) {
  error = XmlParseError{};
  error.url = path;
  std::string text;
  const HRESULT read = ReadWholeFile(path, text, error);
  if (Failed(read)) {
    document_->reset();
    error.code = read;
    return read;
  }
  return LoadText(text, path, error);
}

HRESULT XmlDocument::LoadText(const std::string& text, const std::string& url,
                              XmlParseError& error) {
  error = XmlParseError{};
  error.url = url;
  try {
    const pugi::xml_parse_result parsed =
        document_->load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_auto);
    if (!parsed) {
      error.code = parsed.status == pugi::status_out_of_memory ? kEOutOfMemory : kXmlParseFailed;
      error.reason = parsed.description();
      PlaceOfOffset(text, parsed.offset, error.line, error.linePos);
    } else if (CountDocumentElements(*document_) != 1) {
      error.code = kXmlParseFailed;
      error.reason = "A document must have exactly one top level element.";
    }
  } catch (const std::bad_alloc&) {
    error.code = kEOutOfMemory;
    error.reason = "Out of memory.";
  }
  if (Failed(error.code)) document_->reset();
  return error.code;
}

XmlNode XmlDocument::Root() const { return XmlNode(document_->internal_object()); }

}  // namespace nexoral::platform
