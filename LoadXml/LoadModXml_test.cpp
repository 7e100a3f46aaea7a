#include "LoadXml/LoadModXml.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "App/FilterLoadModule.h"
#include "LoadXml/LoadModXml_test.h"

namespace {

using loadxml_test::Files;
using loadxml_test::FilesInLoadOrder;
using loadxml_test::Item;
using loadxml_test::KeysByFile;
using loadxml_test::ModXmlLoaderTest;

const char kDroppedLine[] = "E LoadModXml.cpp load xml abnormal, some module load exception";

TEST_F(ModXmlLoaderTest, FolderFailuresFillTheErrorRecord) {
  std::filesystem::remove(modularize_);
  EXPECT_FALSE(MakeLoader()->LoadModules());
  EXPECT_EQ("InstallError:11", ErrorCode());
  EXPECT_EQ("Missing file:" + modularize_, ErrorDetail());
  EXPECT_EQ(
      (std::vector<std::string>{FolderLine(), "E LoadModXml.cpp Missing file:" + modularize_}),
      log_.Take());

  std::filesystem::create_directories(modularize_);
  WriteModule("other.xml", ModuleXml(PhaseXml("after_setup", Item("a"))));
  auto loader = MakeLoader();
  EXPECT_FALSE(loader->LoadModules());
  EXPECT_EQ("GLE:2", ErrorCode());
  EXPECT_EQ("deploy file, get file exception:" + JoinPath(modularize_, "mod_*.xml"), ErrorDetail());
  EXPECT_EQ(std::vector<std::string>{FolderLine()}, log_.Take());
  EXPECT_TRUE(loader->GetAfterSetupItems().empty());
}

TEST_F(ModXmlLoaderTest, NameWithoutModulePartIsSkipped) {
  WriteModule("mod_.xml", ModuleXml(PhaseXml("after_setup", Item("a"))));
  auto loader = MakeLoader();
  EXPECT_TRUE(loader->LoadModules());
  EXPECT_TRUE(loader->GetAfterSetupItems().empty());
  EXPECT_TRUE(filter_->asked.empty());
  EXPECT_EQ(std::vector<std::string>{FolderLine()}, log_.Take());
  EXPECT_EQ("", ErrorCode());
}

TEST_F(ModXmlLoaderTest, VanishedEntryEndsTheScan) {
  std::error_code error;
  std::filesystem::create_symlink(
      JoinPath(modularize_, "nowhere"), JoinPath(modularize_, "mod_b.xml"), error);
  if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
  const std::string first = WriteModule("mod_a.xml", ModuleXml(PhaseXml("after_setup", Item("a"))));
  WriteModule("mod_c.xml", ModuleXml(PhaseXml("after_setup", Item("c"))));
  auto loader = MakeLoader();
  EXPECT_FALSE(loader->LoadModules());
  EXPECT_EQ("InstallError:11", ErrorCode());
  EXPECT_EQ("Missing file:" + JoinPath(modularize_, "mod_b.xml"), ErrorDetail());
  EXPECT_EQ(std::vector<std::string>{"a"}, Files(loader->GetAfterSetupItems()));
  EXPECT_EQ(std::vector<std::string>{first}, filter_->asked);
}

TEST_F(ModXmlLoaderTest, BundlesHoldEveryAttributeAsText) {
  const std::string path = WriteModule(
      "mod_a.xml",
      ModuleXml(
          PhaseXml("after_setup",
                   "<item type='SimpleDll' file=\"lib&amp;x.dll\" entry=\"Run\" wait_for_exit=\"\" "
                   "param=\"&lt;&#65;&#x42;&quot;&apos;&#233;&gt;\"/>")));
  auto loader = MakeLoader();
  ASSERT_TRUE(loader->LoadModules());
  const PhaseItemMap items = loader->GetAfterSetupItems();
  ASSERT_EQ(1u, items.size());
  ILwBundle* bundle = items.begin()->second;
  EXPECT_EQ("lib&x.dll", BundleString(bundle, "file"));
  EXPECT_EQ("SimpleDll", BundleString(bundle, "type"));
  EXPECT_EQ("<AB\"'\xC3\xA9>", BundleString(bundle, "param"));
  EXPECT_EQ("", BundleString(bundle, "wait_for_exit"));
  EXPECT_EQ("<absent>", BundleString(bundle, "system"));
  int32_t len = 0;
  EXPECT_EQ(LW_S_MORE_DATA, bundle->GetKeys(nullptr, &len));
  EXPECT_EQ(static_cast<int32_t>(sizeof("entry file param type wait_for_exit")), len);
  EXPECT_EQ((std::vector<std::string>{FolderLine(), FileLine(path)}), log_.Take());
  EXPECT_EQ(std::vector<std::string>{path}, filter_->asked);
}

TEST_F(ModXmlLoaderTest, KeysCountAcrossPhasesFilesAndLoads) {
  WriteModule("mod_a.xml",
              ModuleXml(PhaseXml("after_selfprotect", Item("a4")) +
                        PhaseXml("open_selfprotect", Item("a3")) +
                        PhaseXml("after_setup", Item("a1") + Item("a2"))));
  WriteModule("mod_b.xml", ModuleXml(PhaseXml("after_setup", Item("b1"))));
  auto loader = MakeLoader();
  ASSERT_TRUE(loader->LoadModules());
  std::map<std::string, int> keys = KeysByFile(loader->GetAfterSetupItems());
  ASSERT_EQ(3u, keys.size());
  // Each loader counts from 1.
  EXPECT_EQ((std::map<std::string, int>{{"a1", 1}, {"a2", 2}, {"b1", 5}}), keys);
  EXPECT_EQ((std::map<std::string, int>{{"a3", 3}}), KeysByFile(loader->GetOpenSelfProtectItems()));
  EXPECT_EQ((std::map<std::string, int>{{"a4", 4}}),
            KeysByFile(loader->GetAfterSelfProtectItems()));
  for (const auto& item : loader->GetAfterSetupItems()) {
    EXPECT_EQ(std::to_string(std::stoi(item.first)), item.first);  // plain decimal
  }

  // A second load empties the maps and goes on counting; copies taken before stay readable.
  const PhaseItemMap before = loader->GetAfterSetupItems();
  ASSERT_TRUE(loader->LoadModules());
  EXPECT_EQ((std::map<std::string, int>{{"a1", 6}, {"a2", 7}, {"b1", 10}}),
            KeysByFile(loader->GetAfterSetupItems()));
  EXPECT_EQ((std::map<std::string, int>{{"a4", 9}}),
            KeysByFile(loader->GetAfterSelfProtectItems()));
  EXPECT_EQ(3u, Files(before).size());
  EXPECT_EQ("a1", BundleString(before.at("1"), "file"));
}

TEST_F(ModXmlLoaderTest, MapsWalkKeysAsText) {
  // Twelve items of a fresh loader get keys 1 to 12 and walk as 1, 10, 11,
  // 12, 2, ..., 9.
  const int count = 12;
  std::string items;
  for (int i = 1; i <= count; ++i) items += Item(std::to_string(i));
  WriteModule("mod_many.xml", ModuleXml(PhaseXml("after_setup", items)));
  auto loader = MakeLoader();
  ASSERT_TRUE(loader->LoadModules());
  const PhaseItemMap loaded = loader->GetAfterSetupItems();

  std::vector<std::string> expected;
  for (int i = 1; i <= count; ++i) expected.push_back(std::to_string(i));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, Files(loaded));  // each item's file names its own key
  std::vector<std::string> keys;
  for (const auto& item : loaded) keys.push_back(item.first);
  EXPECT_EQ((std::vector<std::string>{"1", "10", "11", "12", "2"}),
            std::vector<std::string>(keys.begin(), keys.begin() + 5));
}

TEST_F(ModXmlLoaderTest, ItemsWithoutFileAreDroppedWithTheirLine) {
  const std::string path =
      WriteModule("mod_a.xml",
                  ModuleXml(PhaseXml("after_setup",
                                     "<item type=\"Exe\"/><item file=\"\"/>"
                                     "<item file=\"x\" type=\"Exe\" file=\"y\"/>"
                                     "<item File=\"no\"/>" +
                                         Item("z"))));
  auto loader = MakeLoader();
  ASSERT_TRUE(loader->LoadModules());
  EXPECT_EQ((std::vector<std::string>{"y", "z"}), FilesInLoadOrder(loader->GetAfterSetupItems()));
  EXPECT_EQ((std::vector<std::string>{
                FolderLine(), FileLine(path), kDroppedLine, kDroppedLine, kDroppedLine}),
            log_.Take());
}

TEST_F(ModXmlLoaderTest, RecordsTellWhatBecameOfEachFile) {
  const std::string short_name =
      WriteModule("mod_.xml", ModuleXml(PhaseXml("after_setup", Item("s"))));
  const std::string a = WriteModule(
      "mod_a.xml",
      ModuleXml(PhaseXml("after_setup", Item("a1") + "<item type=\"Exe\"/>" + Item("a2")) +
                PhaseXml("open_selfprotect", Item("a3"))));
  const std::string b = WriteModule("mod_b.xml", ModuleXml(PhaseXml("after_setup", Item("b1"))));
  const std::string c = WriteModule("mod_c.xml", "");
  const std::string d = WriteModule("mod_d.xml", ModuleXml(""));
  filter_->refused.insert(b);
  auto loader = MakeLoader();
  ASSERT_TRUE(loader->LoadModules());

  const std::map<std::string, int> keys = KeysByFile(loader->GetAfterSetupItems());
  const std::string a1 = std::to_string(keys.at("a1"));
  const std::string a2 = std::to_string(keys.at("a2"));
  const std::string a3 = std::to_string(keys.at("a2") + 1);
  const std::vector<ModuleFileRecord> records = loader->GetModuleFileRecords();
  ASSERT_EQ(5u, records.size());
  const std::vector<std::string> paths = {short_name, a, b, c, d};
  const std::vector<ModuleFileRecord::Outcome> outcomes = {ModuleFileRecord::kNameTooShort,
                                                           ModuleFileRecord::kLoaded,
                                                           ModuleFileRecord::kNotAdmitted,
                                                           ModuleFileRecord::kNoSetup,
                                                           ModuleFileRecord::kLoaded};
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(paths[i]);
    EXPECT_EQ(paths[i], WideToAnsi(records[i].path));
    EXPECT_EQ(outcomes[i], records[i].outcome);
  }
  EXPECT_EQ((std::vector<std::string>{a1, a2, a3}), records[1].item_keys);
  EXPECT_EQ(1, records[1].dropped_items);
  EXPECT_TRUE(records[2].item_keys.empty());
  EXPECT_TRUE(records[4].item_keys.empty());
  EXPECT_EQ(0, records[4].dropped_items);

  // A new load starts a new record; a parse failure is the last entry.
  WriteModule("mod_b.xml", "<root><module>");
  ASSERT_TRUE(loader->LoadModules());  // refused before it is parsed
  const std::vector<ModuleFileRecord> again = loader->GetModuleFileRecords();
  ASSERT_EQ(5u, again.size());
  EXPECT_EQ(ModuleFileRecord::kLoaded, again[1].outcome);
  EXPECT_EQ(3u, again[1].item_keys.size());
  EXPECT_NE(a1, again[1].item_keys[0]);
  EXPECT_EQ(ModuleFileRecord::kNotAdmitted, again[2].outcome);
  filter_->refused.clear();
  ASSERT_FALSE(loader->LoadModules());
  ASSERT_EQ(3u, loader->GetModuleFileRecords().size());
  EXPECT_EQ(ModuleFileRecord::kParseFailed, loader->GetModuleFileRecords()[2].outcome);
}

TEST_F(ModXmlLoaderTest, OnlyTheDocumentedPathIsRead) {
  WriteModule("mod_a.xml",
              "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- module -->\n"
              "<!DOCTYPE root [ <!ELEMENT root ANY> ]>\n"
              "<Root><module><setup>" +
                  PhaseXml("after_setup", Item("case-root")) +
                  "</setup></module></Root>"
                  "<root>text<?pi x?>"
                  "<module><setup>"
                  "<after_setup><item file=\"s1\"></item><Item file=\"case-item\"/>"
                  "<group><item file=\"nested\"/></group><![CDATA[<item file=\"cdata\"/>]]>" +
                  Item("s2") + "</after_setup>" + PhaseXml("after_setup", Item("second-phase")) +
                  PhaseXml("Open_selfprotect", Item("case-phase")) +
                  PhaseXml("open_selfprotect", Item("o1")) + "</setup><setup>" +
                  PhaseXml("after_selfprotect", Item("second-setup")) +
                  "</setup></module>"
                  "<module><setup>" +
                  PhaseXml("after_selfprotect", Item("second-module")) +
                  "</setup></module></root>"
                  "<root>" +
                  "<module><setup>" + PhaseXml("after_selfprotect", Item("second-root")) +
                  "</setup></module></root>");
  // Files without the path give nothing and stop nothing.
  WriteModule("mod_b.xml", "<root><module/></root>");
  WriteModule("mod_c.xml", "");
  WriteModule("mod_d.xml",
              ModuleXml(PhaseXml("after_setup", Item("d1"))) + std::string(1, '\0') + "<bad");
  std::filesystem::create_directories(JoinPath(modularize_, "mod_e.xml"));

  auto loader = MakeLoader();
  EXPECT_TRUE(loader->LoadModules());
  EXPECT_EQ((std::vector<std::string>{"s1", "s2", "d1"}),
            FilesInLoadOrder(loader->GetAfterSetupItems()));
  EXPECT_EQ(std::vector<std::string>{"o1"}, Files(loader->GetOpenSelfProtectItems()));
  EXPECT_TRUE(loader->GetAfterSelfProtectItems().empty());
  EXPECT_EQ(5u, filter_->asked.size());
  EXPECT_EQ("", ErrorCode());
}

TEST_F(ModXmlLoaderTest, FilterDecidesWhichFilesAreRead) {
  WriteModule("mod_a.xml", ModuleXml(PhaseXml("after_setup", Item("a"))));
  filter_->answer = false;
  auto refused = MakeLoader();
  EXPECT_TRUE(refused->LoadModules());
  EXPECT_TRUE(refused->GetAfterSetupItems().empty());
  EXPECT_EQ(1u, filter_->asked.size());

  ModXmlLoader unfiltered(Wide(product_), nullptr, &errors_);
  EXPECT_TRUE(unfiltered.LoadModules());
  EXPECT_TRUE(unfiltered.GetAfterSetupItems().empty());
}

TEST_F(ModXmlLoaderTest, MalformedFileEndsTheScanWithCode40) {
  WriteModule("mod_a.xml", ModuleXml(PhaseXml("after_setup", Item("a"))));
  const std::string bad = WriteModule("mod_B.xml", "<root><module>");
  WriteModule("mod_c.xml", ModuleXml(PhaseXml("after_setup", Item("c"))));
  auto loader = MakeLoader();
  EXPECT_FALSE(loader->LoadModules());
  EXPECT_EQ(std::vector<std::string>{"a"}, Files(loader->GetAfterSetupItems()));
  EXPECT_EQ(2u, filter_->asked.size());
  EXPECT_EQ("InstallError:40", ErrorCode());
  EXPECT_EQ("deploy file, parse xml failed:" + bad, ErrorDetail());
  EXPECT_EQ((std::vector<std::string>{
                FolderLine(),
                FileLine(JoinPath(modularize_, "mod_a.xml")),
                FileLine(bad),
                "E LoadModXml.cpp exception : unexpected end of data",
                "E LoadModXml.cpp ******** parse xml exception , xml name : " + bad}),
            log_.Take());

  for (const char* text : {"x<root/>", "<root></root><", "<root a=1/>", "<root>&#xZZ;</root>"}) {
    SCOPED_TRACE(text);
    WriteModule("mod_B.xml", text);
    EXPECT_FALSE(MakeLoader()->LoadModules());
    EXPECT_EQ("InstallError:40", ErrorCode());
  }
}

TEST_F(ModXmlLoaderTest, ProductFolderNameDoesNotHideModules) {
  UseProduct("My_Product.v2");
  WriteTextFile(JoinPath(modularize_, "module_config.dat"),
                R"({"module_info":{"alpha":{"state":"1"},"beta":{"state":"0"}}})");
  const std::string alpha =
      WriteModule("mod_alpha.xml", ModuleXml(PhaseXml("after_setup", Item("a"))));
  const std::string beta =
      WriteModule("mod_beta.xml", ModuleXml(PhaseXml("after_setup", Item("b"))));
  ModXmlLoader loader(Wide(product_), std::make_shared<LoadModFilter>(product_), &errors_);
  EXPECT_TRUE(loader.LoadModules());
  EXPECT_EQ(std::vector<std::string>{"a"}, Files(loader.GetAfterSetupItems()));
  EXPECT_EQ(
      (std::vector<std::string>{FolderLine(),
                                FileLine(alpha),
                                FileLine(beta),
                                "I FilterLoadModule.cpp beta is not installed, will ignore it."}),
      log_.Take());
}

}  // namespace
