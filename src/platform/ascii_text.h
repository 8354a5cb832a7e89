// ASCII case rules for names that compare ignoring case: header names, registry keys and
// values, module file names. Other bytes (UTF-8 included) compare exactly.
#ifndef NEXORAL_PLATFORM_ASCII_TEXT_H
#define NEXORAL_PLATFORM_ASCII_TEXT_H

#include <string>
#include <string_view>

namespace nexoral::platform {

constexpr char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = LowerAscii(c);
  return lower;
}

constexpr bool EqualsIgnoreCase(std::string_view left, std::string_view right) {
  if (left.size() != right.size()) return false;
  for (size_t i = 0; i < left.size(); ++i) {
    if (LowerAscii(left[i]) != LowerAscii(right[i])) return false;
  }
  return true;
}

constexpr bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

constexpr bool ContainsIgnoreCase(std::string_view text, std::string_view part) {
  for (size_t at = 0; at + part.size() <= text.size(); ++at) {
    if (EqualsIgnoreCase(text.substr(at, part.size()), part)) return true;
  }
  return false;
}

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_ASCII_TEXT_H
