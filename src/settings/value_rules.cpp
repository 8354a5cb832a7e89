// The shared value rules of the settings files.
#include "settings/value_rules.h"

#include <limits>

namespace nexoral {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int32_t IntegerFromText(const std::string& text) {
  size_t at = 0;
  while (at < text.size() && IsBlank(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  // Accumulated as a magnitude; capped just past the 32-bit range so it never overflows.
  constexpr int64_t kCap = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    magnitude = std::min(kCap, magnitude * 10 + (text[at] - '0'));
  }
  if (negative) return static_cast<int32_t>(-magnitude);
  return static_cast<int32_t>(std::min(magnitude, kCap - 1));
}

bool ReadIntegerValue(const Variant& value, int32_t& field) {
  if (value.IsInt32()) {
    field = value.Int32();
    return true;
  }
  if (value.IsText()) {
    field = IntegerFromText(value.Text());
    return true;
  }
  return false;
}

bool ReadTextValue(const Variant& value, std::string& field) {
  if (!value.IsText()) return false;
  field = value.Text();
  return true;
}

bool IsFlagSet(const Variant& value) {
  if (value.IsInt32()) return value.Int32() == 1;
  return value.IsText() && value.Text() == "1";
}

}  // namespace nexoral
