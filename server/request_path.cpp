// Decoding and checking request paths.
#include "request_path.h"

namespace nexoral::server {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool HasDotSegment(std::string_view path) {
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view segment = path.substr(start, end - start);
    if (segment == "." || segment == "..") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::string_view TargetPath(std::string_view target) {
  return target.substr(0, target.find('?'));
}

std::string_view TargetQuery(std::string_view target) {
  const size_t question = target.find('?');
  return question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
}

std::optional<std::string> DecodeRequestPath(std::string_view target) {
  const std::string_view raw = TargetPath(target);
  if (raw.empty() || raw.front() != '/') return std::nullopt;
  std::string decoded;
  decoded.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '%') {
      if (raw[i] == '\0') return std::nullopt;
      decoded.push_back(raw[i]);
      continue;
    }
    if (i + 2 >= raw.size()) return std::nullopt;
    const int high = HexValue(raw[i + 1]);
    const int low = HexValue(raw[i + 2]);
    if (high < 0 || low < 0 || (high == 0 && low == 0)) return std::nullopt;
    decoded.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  // A backslash is a separator to some file systems and upstreams; CR and LF would split a
  // header the path is copied into.
  if (decoded.find_first_of("\\\r\n") != std::string::npos) return std::nullopt;
  if (HasDotSegment(decoded)) return std::nullopt;
  return decoded;
}

}  // namespace nexoral::server
