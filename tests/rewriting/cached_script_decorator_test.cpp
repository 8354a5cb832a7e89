// Decorated cached-script names: which names count as decorated and what undecorating leaves.
#include "rewriting/cached_script_decorator.h"

#include <gtest/gtest.h>

#include <string>

namespace nexoral {
namespace {

struct NameCase {
  std::string name;
  bool decorated;
  std::string undecorated;
};

class DecoratedNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(DecoratedNameTest, RecognisedByThePrefixAfterAnyHashAndUndecoratedByLength) {
  const CCachedScriptDecorator decorator("ABCDE");
  EXPECT_EQ(decorator.IsDecorated(GetParam().name), GetParam().decorated) << GetParam().name;
  EXPECT_EQ(decorator.Undecorate(GetParam().name), GetParam().undecorated) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, DecoratedNameTest,
    ::testing::Values(
        NameCase{"ABCDEzq_app.js", true, "zq_app.js"},
        // Another hash, one from before a change for instance, is still a decoration.
        NameCase{"x9_-.zq_app.js", true, "zq_app.js"}, NameCase{"ABCDEzq_", true, "zq_"},
        // The prefix anywhere else, or in another case, is not.
        NameCase{"zq_app.js", false, "p.js"}, NameCase{"ABCDzq_app.js", false, "q_app.js"},
        NameCase{"ABCDEFzq_app.js", false, "Fzq_app.js"},
        NameCase{"ABCDEZQ_app.js", false, "ZQ_app.js"}, NameCase{"ABCDEzq", false, "zq"},
        // Names no longer than a hash are never decorated and come back unchanged.
        NameCase{"ABCDE", false, "ABCDE"}, NameCase{"zq_ab", false, "zq_ab"},
        NameCase{"a", false, "a"}, NameCase{"", false, ""},
        // Undecorating does not check: callers ask IsDecorated first.
        NameCase{"plain-name.js", false, "-name.js"}, NameCase{"ABCDEF", false, "F"}));

TEST(CachedScriptDecoratorTest, DecoratedNamesCarryTheCurrentHashAndKeepThePrefixWhenUndecorated) {
  CCachedScriptDecorator decorator("ABCDE");
  EXPECT_EQ(decorator.GetHash(), "ABCDE");
  EXPECT_EQ(decorator.GetPrefix(), "zq_");
  EXPECT_EQ(decorator.GetDecoration(), "ABCDEzq_");
  EXPECT_EQ(decorator.Decorate("scripts/app.js"), "ABCDEzq_scripts/app.js");

  const std::string before = decorator.Decorate("app.js");
  decorator.SetHash("Vw0xY");
  EXPECT_EQ(decorator.GetDecoration(), "Vw0xYzq_");
  for (const std::string name : {"app.js", "", "zq_", "a b.css"}) {
    const std::string decorated = decorator.Decorate(name);
    EXPECT_TRUE(decorator.IsDecorated(decorated)) << decorated;
    EXPECT_EQ(decorator.Undecorate(decorated), "zq_" + name);
  }
  EXPECT_TRUE(decorator.IsDecorated(before)) << "names decorated before a hash change still count";
}

}  // namespace
}  // namespace nexoral
