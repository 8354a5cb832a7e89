// Header text helpers.
#include "text_util.h"

#include <array>

namespace nexoral::server {

namespace {

// The separators and delimiters that a token may not contain.
constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={} \t";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace


bool IsHeaderName(std::string_view name) {
  if (name.empty()) return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || kSeparators.find(c) != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

bool IsSafeHeaderValue(std::string_view value) {
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7F) return false;
  }
  return true;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string decoded;
  decoded.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const size_t padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    std::array<int, 4> values{};
    for (size_t j = 0; j < 4 - padding; ++j) {
      values[j] = Base64Value(text[i + j]);
      if (values[j] < 0) return std::nullopt;
    }
    if (padding == 1 && text[i + 2] == '=') return std::nullopt;  // "x==y" shapes
    const unsigned triple = (values[0] << 18) | (values[1] << 12) | (values[2] << 6) | values[3];
    decoded.push_back(static_cast<char>(triple >> 16));
    if (padding < 2) decoded.push_back(static_cast<char>((triple >> 8) & 0xFF));
    if (padding < 1) decoded.push_back(static_cast<char>(triple & 0xFF));
  }
  return decoded;
}

}  // namespace nexoral::server
