// The ";" list rule.
#include "settings/split_string.h"

namespace nexoral {

bool SplitString(const std::string& text, const std::string& separator,
                 std::vector<std::string>& pieces) {
  if (text.empty()) return false;
  size_t at = separator.empty() ? std::string::npos : text.find(separator);
  if (at == std::string::npos) {
    pieces.push_back(text);
    return true;
  }
  if (at > 0) pieces.push_back(text.substr(0, at));
  while (at < text.size()) {
    const size_t start = at + separator.size();
    const size_t next = text.find(separator, start);
    const size_t end = next == std::string::npos ? text.size() : next;
    if (end == start) break;
    pieces.push_back(text.substr(start, end - start));
    at = end;
  }
  return true;
}

}  // namespace nexoral
