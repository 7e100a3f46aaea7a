// Hostile module files: nesting past the parser's limit, which the depth
// guard counts as the parser would, and truncated or mutated files.
#include "LoadXml/XmlDepthGuard.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "LoadXml/LoadModXml_test.h"

namespace {

using loadxml_test::Deep;
using loadxml_test::Files;
using loadxml_test::Item;
using loadxml_test::ModXmlLoaderTest;

TEST_F(ModXmlLoaderTest, DeepNestingTakesTheParseFailurePath) {
  const std::string path = WriteModule("mod_a.xml", Deep(100000, ""));
  EXPECT_FALSE(MakeLoader()->LoadModules());
  EXPECT_EQ("InstallError:40", ErrorCode());
  EXPECT_EQ("deploy file, parse xml failed:" + path, ErrorDetail());
  EXPECT_EQ((std::vector<std::string>{
                FolderLine(),
                FileLine(path),
                "E LoadModXml.cpp exception : document nested too deeply",
                "E LoadModXml.cpp ******** parse xml exception , xml name : " + path}),
            log_.Take());

  // root, module, setup and after_setup are four levels of the limit.
  WriteModule("mod_a.xml",
              ModuleXml(PhaseXml("after_setup", Item("a") + Deep(kMaxXmlNesting - 4, ""))));
  auto loader = MakeLoader();
  EXPECT_TRUE(loader->LoadModules());
  EXPECT_EQ(std::vector<std::string>{"a"}, Files(loader->GetAfterSetupItems()));
  WriteModule("mod_a.xml",
              ModuleXml(PhaseXml("after_setup", Item("a") + Deep(kMaxXmlNesting - 3, ""))));
  EXPECT_FALSE(MakeLoader()->LoadModules());
}

TEST(XmlDepthGuardTest, CountsLevelsTheWayTheParserSeesThem) {
  const std::string many = Deep(2000, "");
  // Markup the parser skips cannot fake depth.
  for (const std::string& hidden : {"<!--" + many + "-->",
                                    "<![CDATA[" + many + "]]>",
                                    "<?pi " + many + "?>",
                                    "<x a='" + many + "' b=\"" + many + "\"/>",
                                    "<!DOCTYPE r [" + many + "]>"}) {
    EXPECT_FALSE(XmlNestedTooDeeply(("<r>" + hidden + "</r>").c_str()));
  }
  // Nor can quotes or brackets where the parser does not treat them as such.
  EXPECT_TRUE(XmlNestedTooDeeply(("<a\"><b'>" + many).c_str()));
  EXPECT_TRUE(XmlNestedTooDeeply(("<r>text ' \" ]]> -->" + many).c_str()));
  EXPECT_TRUE(XmlNestedTooDeeply(("\xEF\xBB\xBF<!x>" + many).c_str()));
  EXPECT_TRUE(XmlNestedTooDeeply(Deep(1001, "").c_str()));
  EXPECT_FALSE(XmlNestedTooDeeply(Deep(1000, "").c_str()));
  // Siblings and self-closed elements do not add up.
  std::string wide;
  for (int i = 0; i < 3000; ++i) wide += "<s/><t></t >";
  EXPECT_FALSE(XmlNestedTooDeeply(("<r>" + wide + "</r>").c_str()));
}

// Truncated and mutated module files must get an answer, never bring the loader down.
TEST_F(ModXmlLoaderTest, FuzzedModuleFilesOnlyGetAnswers) {
  const std::string seed =
      "<?xml version=\"1.0\"?><!-- c --><root><module><setup>"
      "<after_setup><item file=\"a&amp;.exe\" type='Exe' param=\"&#x41;&#66;\"/>"
      "<item file=\"b\"><![CDATA[x]]></item></after_setup>"
      "<open_selfprotect><item file=\"c\"/></open_selfprotect>"
      "<after_selfprotect><item file=\"d\" entry=\"E\"/></after_selfprotect>"
      "</setup></module></root>";
  const std::string alphabet = "<>/!?-[]\"'=&#;x0 a\t";
  std::mt19937 random(7919u);
  const std::string path = JoinPath(modularize_, "mod_f.xml");
  int failures = 0;
  for (int round = 0; round < 300; ++round) {
    std::string text = seed;
    switch (random() % 4) {
      case 0:
        text.resize(random() % text.size());
        break;
      case 1:
        for (int flips = 1 + random() % 4; flips > 0; --flips) {
          text[random() % text.size()] = alphabet[random() % alphabet.size()];
        }
        break;
      case 2: {
        const size_t from = random() % text.size();
        text.insert(random() % text.size(), text.substr(from, random() % 40));
        break;
      }
      default:
        text.insert(random() % text.size(), Deep(random() % 1500, ""));
        break;
    }
    WriteTextFile(path, text);
    errors_ = InstallErrorRecord();
    auto loader = MakeLoader();
    const bool loaded = loader->LoadModules();
    log_.Take();
    SCOPED_TRACE(text);
    if (loaded) {
      EXPECT_EQ("", ErrorCode());
      for (const PhaseItemMap& items : {loader->GetAfterSetupItems(),
                                        loader->GetOpenSelfProtectItems(),
                                        loader->GetAfterSelfProtectItems()}) {
        for (const std::string& file : Files(items)) EXPECT_NE("", file);
      }
    } else {
      ++failures;
      EXPECT_EQ("InstallError:40", ErrorCode());
      EXPECT_EQ("deploy file, parse xml failed:" + path, ErrorDetail());
    }
  }
  EXPECT_GT(failures, 0);
  EXPECT_LT(failures, 300);
}

}  // namespace
