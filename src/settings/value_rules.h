// The value rules every settings decoder and lookup shares: how a Variant becomes an integer, a
// text or a flag. An integer accepts a 32-bit number as it is or a text read like atoi; a text
// accepts only text; a flag is true for "1" or the number 1.
#ifndef NEXORAL_SETTINGS_VALUE_RULES_H
#define NEXORAL_SETTINGS_VALUE_RULES_H

#include <cstdint>
#include <string>

#include "platform/variant.h"

namespace nexoral {

// Leading white space, an optional sign, decimal digits; stops at the first other character.
// No digits gives 0; values beyond the 32-bit range give INT32_MAX or INT32_MIN.
int32_t IntegerFromText(const std::string& text);

// Sets field from an integer or a text value; false (field unchanged) for any other type.
bool ReadIntegerValue(const Variant& value, int32_t& field);
// Sets field from a text value; false (field unchanged) for any other type.
bool ReadTextValue(const Variant& value, std::string& field);
// True for the text "1" or the integer 1.
bool IsFlagSet(const Variant& value);

}  // namespace nexoral

#endif  // NEXORAL_SETTINGS_VALUE_RULES_H
