#include "CallPlugins/ItemSecurity.h"

#include <gtest/gtest.h>

TEST(ItemSecurityTest, ProductPathOutsideQuotesAndCommandScriptNames) {
  const struct {
    const char* param;
    bool unquoted;
  } cases[] = {{"%productpath%\\a", true},
               {"\"%productpath%\\a\"", false},
               {"/x \"a\" %productpath%", true},
               {"\"a %productpath%\" b", false},
               {"%PRODUCTPATH%", false},
               {"", false}};
  for (const auto& c : cases) EXPECT_EQ(HasUnquotedProductPath(c.param), c.unquoted) << c.param;
  EXPECT_TRUE(IsCommandScriptName("bin\\Setup.CMD"));
  EXPECT_TRUE(IsCommandScriptName("a.bat"));
  EXPECT_FALSE(IsCommandScriptName("bat"));
  EXPECT_FALSE(IsCommandScriptName("a.bat.exe"));
  ItemFacts facts;
  facts.parameters = L"--token=secret";
  EXPECT_EQ(ShownItemFacts(facts, true).parameters, L"***");
  EXPECT_EQ(ShownItemFacts(facts, false).parameters, L"--token=secret");
}
