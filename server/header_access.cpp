// Filter access to request and response headers.
#include "header_access.h"

#include "nexoral/filter_interface.h"
#include "text_util.h"

namespace nexoral::server {
namespace {

// The contract's names end with a colon; the colon is not part of the HTTP name.
std::string_view FieldName(std::string_view name) {
  if (!name.empty() && name.back() == ':') name.remove_suffix(1);
  return name;
}

bool Refuse() {
  SetLastError(ERROR_INVALID_PARAMETER);
  return false;
}

template <bool isRequest>
std::optional<std::string> GetField(const http::header<isRequest>& header, std::string_view name) {
  const std::string_view field = FieldName(name);
  auto [first, last] = header.equal_range(beast::string_view(field.data(), field.size()));
  if (first == last) return std::nullopt;
  std::string value(first->value());
  for (++first; first != last; ++first) value.append(", ").append(first->value());
  return value;
}

template <bool isRequest>
bool SetField(http::header<isRequest>& header, std::string_view name, std::string_view value,
              bool add) {
  const std::string_view field = FieldName(name);
  if (!IsHeaderName(field) || !IsSafeHeaderValue(value)) return Refuse();
  const beast::string_view fieldName(field.data(), field.size());
  const beast::string_view fieldValue(value.data(), value.size());
  if (add) {
    header.insert(fieldName, fieldValue);
  } else if (value.empty()) {
    header.erase(fieldName);
  } else {
    header.set(fieldName, fieldValue);
  }
  return true;
}

std::string VersionText(unsigned version) {
  return "HTTP/" + std::to_string(version / 10) + "." + std::to_string(version % 10);
}

bool SetRequestLinePart(http::request_header<>& header, std::string_view part,
                        std::string_view value) {
  if (EqualsIgnoreCase(part, "url")) {
    if (!IsOriginFormTarget(value)) return Refuse();
    header.target(beast::string_view(value.data(), value.size()));
    return true;
  }
  if (EqualsIgnoreCase(part, "method")) {
    if (!IsHeaderName(value)) return Refuse();  // a method is a token, as a name is
    header.method_string(beast::string_view(value.data(), value.size()));
    return true;
  }
  if (value == "HTTP/1.1" || value == "HTTP/1.0") {
    header.version(value == "HTTP/1.1" ? 11 : 10);
    return true;
  }
  return Refuse();
}

bool IsRequestLinePart(std::string_view name) {
  return EqualsIgnoreCase(name, "url") || EqualsIgnoreCase(name, "method") ||
         EqualsIgnoreCase(name, "version");
}

}  // namespace

bool IsOriginFormTarget(std::string_view target) {
  if (target.empty() || target.front() != '/') return false;
  for (const char c : target) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F) return false;
  }
  return true;
}

std::optional<std::string> GetFilterHeader(const http::request_header<>& header,
                                           std::string_view name) {
  if (EqualsIgnoreCase(name, "url")) return std::string(header.target());
  if (EqualsIgnoreCase(name, "method")) return std::string(header.method_string());
  if (EqualsIgnoreCase(name, "version")) return VersionText(header.version());
  return GetField(header, name);
}

std::optional<std::string> GetFilterHeader(const http::response_header<>& header,
                                           std::string_view name) {
  return GetField(header, name);
}

bool SetFilterHeader(http::request_header<>& header, std::string_view name,
                     std::string_view value, bool add) {
  if (IsRequestLinePart(name)) return add ? Refuse() : SetRequestLinePart(header, name, value);
  return SetField(header, name, value, add);
}

bool SetFilterHeader(http::response_header<>& header, std::string_view name,
                     std::string_view value, bool add) {
  return SetField(header, name, value, add);
}

std::optional<http::fields> ParseFilterHeaderLines(std::string_view text) {
  std::string block = "HTTP/1.1 200 OK\r\n";
  block.append(text);
  if (!text.empty() && !block.ends_with("\r\n")) block.append("\r\n");
  block.append("\r\n");
  http::response_parser<http::empty_body> parser;
  parser.eager(false);
  parser.skip(true);  // the lines describe no body here
  error_code ec;
  const size_t used = parser.put(asio::buffer(block), ec);
  if (ec || !parser.is_header_done() || used != block.size()) return std::nullopt;
  http::fields fields;
  for (const auto& field : parser.get()) {
    if (!IsSafeHeaderValue(std::string_view(field.value().data(), field.value().size()))) {
      return std::nullopt;
    }
    fields.insert(field.name_string(), field.value());
  }
  return fields;
}

}  // namespace nexoral::server
