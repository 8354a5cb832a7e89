// SplitString: the ";" list rule of the settings files.
#ifndef NEXORAL_SETTINGS_SPLIT_STRING_H
#define NEXORAL_SETTINGS_SPLIT_STRING_H

#include <string>
#include <vector>

namespace nexoral {

// Appends the pieces of text between separators to pieces, in order. An empty text gives false
// and nothing. The piece before the first separator is kept only when it is not empty; after
// it, the first empty piece ends the list: "a;b;c" gives a, b, c; "a;b;" gives a, b;
// "a;;b" gives a; ";a" gives a.
bool SplitString(const std::string& text, const std::string& separator,
                 std::vector<std::string>& pieces);

}  // namespace nexoral

#endif  // NEXORAL_SETTINGS_SPLIT_STRING_H
