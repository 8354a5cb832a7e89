// The value rules of the settings files and the ";" list rule.
#include <gtest/gtest.h>

#include <climits>

#include "settings/split_string.h"
#include "settings/value_rules.h"

namespace nexoral {
namespace {

TEST(ValueRules, IntegerTextsReadLikeAtoi) {
  EXPECT_EQ(IntegerFromText("12abc"), 12);
  EXPECT_EQ(IntegerFromText("abc"), 0);
  EXPECT_EQ(IntegerFromText(""), 0);
  EXPECT_EQ(IntegerFromText(" \t\r\n42"), 42);
  EXPECT_EQ(IntegerFromText("-17x"), -17);
  EXPECT_EQ(IntegerFromText("+8"), 8);
  EXPECT_EQ(IntegerFromText("- 5"), 0);
  EXPECT_EQ(IntegerFromText("0x10"), 0);
}

TEST(ValueRules, IntegerTextsBeyondTheRangeSaturate) {
  EXPECT_EQ(IntegerFromText("2147483647"), INT32_MAX);
  EXPECT_EQ(IntegerFromText("2147483648"), INT32_MAX);
  EXPECT_EQ(IntegerFromText("-2147483648"), INT32_MIN);
  EXPECT_EQ(IntegerFromText("-2147483649"), INT32_MIN);
  EXPECT_EQ(IntegerFromText(std::string(5000, '9')), INT32_MAX);
}

TEST(ValueRules, IntegerFieldsTakeNumbersAndTextsOnly) {
  int32_t field = 7;
  EXPECT_TRUE(ReadIntegerValue(Variant::FromInt32(-3), field));
  EXPECT_EQ(field, -3);
  EXPECT_TRUE(ReadIntegerValue(Variant::FromText("55"), field));
  EXPECT_EQ(field, 55);
  EXPECT_FALSE(ReadIntegerValue(Variant(), field));
  EXPECT_EQ(field, 55);
}

TEST(ValueRules, TextFieldsTakeTextsOnly) {
  std::string field = "kept";
  EXPECT_FALSE(ReadTextValue(Variant::FromInt32(1), field));
  EXPECT_FALSE(ReadTextValue(Variant(), field));
  EXPECT_EQ(field, "kept");
  EXPECT_TRUE(ReadTextValue(Variant::FromText(""), field));
  EXPECT_EQ(field, "");
}

TEST(ValueRules, OnlyOneIsASetFlag) {
  EXPECT_TRUE(IsFlagSet(Variant::FromText("1")));
  EXPECT_TRUE(IsFlagSet(Variant::FromInt32(1)));
  EXPECT_FALSE(IsFlagSet(Variant::FromText(" 1")));
  EXPECT_FALSE(IsFlagSet(Variant::FromText("01")));
  EXPECT_FALSE(IsFlagSet(Variant::FromText("true")));
  EXPECT_FALSE(IsFlagSet(Variant::FromInt32(2)));
  EXPECT_FALSE(IsFlagSet(Variant()));
}

std::vector<std::string> Split(const std::string& text, bool* result = nullptr) {
  std::vector<std::string> pieces;
  const bool split = SplitString(text, ";", pieces);
  if (result != nullptr) *result = split;
  return pieces;
}

TEST(SplitString, PiecesStopAtTheFirstEmptyOne) {
  using Pieces = std::vector<std::string>;
  EXPECT_EQ(Split("a;b;c"), (Pieces{"a", "b", "c"}));
  EXPECT_EQ(Split("a;b;"), (Pieces{"a", "b"}));
  EXPECT_EQ(Split("a;;b"), (Pieces{"a"}));
  EXPECT_EQ(Split(";a"), (Pieces{"a"}));
  EXPECT_EQ(Split(";;a"), (Pieces{}));
  EXPECT_EQ(Split("js"), (Pieces{"js"}));
  EXPECT_EQ(Split("a b;c d"), (Pieces{"a b", "c d"}));
}

TEST(SplitString, EmptyTextGivesFalseAndNothing) {
  bool result = true;
  EXPECT_TRUE(Split("", &result).empty());
  EXPECT_FALSE(result);
  EXPECT_EQ(Split("x", &result).size(), 1u);
  EXPECT_TRUE(result);
}

TEST(SplitString, AppendsToWhatTheVectorHolds) {
  std::vector<std::string> pieces{"first"};
  SplitString("b;c", ";", pieces);
  EXPECT_EQ(pieces, (std::vector<std::string>{"first", "b", "c"}));
}

}  // namespace
}  // namespace nexoral
