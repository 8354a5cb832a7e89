// Variant: a typed value as the XML layer hands out attribute values and the settings tables
// keep them: empty, text or a signed 32-bit integer. Untyped XML attributes are always text.
#ifndef NEXORAL_PLATFORM_VARIANT_H
#define NEXORAL_PLATFORM_VARIANT_H

#include <cstdint>
#include <string>
#include <utility>

namespace nexoral {

// The type tags, numbered as the component model numbers them.
enum VarType : uint16_t { VT_EMPTY = 0, VT_I4 = 3, VT_BSTR = 8 };

class Variant {
 public:
  Variant() = default;

  static Variant FromText(std::string text) {
    Variant value;
    value.vt_ = VT_BSTR;
    value.text_ = std::move(text);
    return value;
  }
  static Variant FromInt32(int32_t number) {
    Variant value;
    value.vt_ = VT_I4;
    value.number_ = number;
    return value;
  }

  VarType vt() const { return vt_; }
  bool IsEmpty() const { return vt_ == VT_EMPTY; }
  bool IsText() const { return vt_ == VT_BSTR; }
  bool IsInt32() const { return vt_ == VT_I4; }
  // The text of a VT_BSTR value; empty for other types.
  const std::string& Text() const { return text_; }
  // The number of a VT_I4 value; 0 for other types.
  int32_t Int32() const { return number_; }

  friend bool operator==(const Variant&, const Variant&) = default;

 private:
  VarType vt_ = VT_EMPTY;
  int32_t number_ = 0;
  std::string text_;
};

}  // namespace nexoral

#endif  // NEXORAL_PLATFORM_VARIANT_H
