#include "LoadXml/LoadModXml.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "App/FilterLoadModule.h"
#include "CallPlugins/InstallErrorRecord.h"
#include "CmdParser/CommandParser.h"
#include "LoadXml/XmlDepthGuard.h"
#include "Platform/platform.h"
#include "Utils/PathUtils.h"
#include "tests/support/builders.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"

namespace {

class FakeFilter final : public IFilterCallback {
 public:
  bool IsModuleInstalled(std::wstring path) override {
    asked.push_back(WideToAnsi(path));
    return answer && refused.count(WideToAnsi(path)) == 0;
  }
  std::vector<std::string> asked;
  bool answer = true;
  std::set<std::string> refused;
};

std::string Item(const std::string& file) { return ItemXml({{"type", "Exe"}, {"file", file}}); }

// The "file" values of a map in its walking order.
std::vector<std::string> Files(const PhaseItemMap& items) {
  std::vector<std::string> files;
  for (const auto& item : items) files.push_back(BundleString(item.second, "file"));
  return files;
}

// The "file" values of a map in load order (numeric key order).
std::vector<std::string> FilesInLoadOrder(const PhaseItemMap& items) {
  std::map<int, std::string> by_number;
  for (const auto& item : items)
    by_number[std::stoi(item.first)] = BundleString(item.second, "file");
  std::vector<std::string> files;
  for (const auto& item : by_number) files.push_back(item.second);
  return files;
}

// Item keys by file value, as numbers.
std::map<std::string, int> KeysByFile(const PhaseItemMap& items) {
  std::map<std::string, int> keys;
  for (const auto& item : items) keys[BundleString(item.second, "file")] = std::stoi(item.first);
  return keys;
}

class ModXmlLoaderTest : public ::testing::Test {
 protected:
  ModXmlLoaderTest() : filter_(std::make_shared<FakeFilter>()) { UseProduct("product"); }
  void SetUp() override { GetInstallErrorRecord() = InstallErrorRecord(); }
  void TearDown() override { GetInstallPath().clear(); }

  void UseProduct(const std::string& name) {
    product_ = JoinPath(folder_.path(), name);
    modularize_ = JoinPath(product_, "modularize");
    std::filesystem::create_directories(modularize_);
  }
  std::string WriteModule(const std::string& name, const std::string& content) {
    const std::string path = JoinPath(modularize_, name);
    WriteTextFile(path, content);
    return path;
  }
  std::unique_ptr<ModXmlLoader> MakeLoader() {
    return std::make_unique<ModXmlLoader>(Wide(product_), filter_);
  }
  static std::string ErrorCode() { return WideToAnsi(GetInstallErrorRecord().errorCode); }
  static std::string ErrorDetail() { return WideToAnsi(GetInstallErrorRecord().errorDetail); }
  std::string FolderLine() const {
    return "I LoadModXml.cpp load module config folder path: " + modularize_;
  }
  static std::string FileLine(const std::string& path) {
    return "E LoadModXml.cpp load module config file name: " + path;
  }

  TempFolder folder_;
  std::string product_;
  std::string modularize_;
  std::shared_ptr<FakeFilter> filter_;
  LogLines log_;
};

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
  const int base = keys["a1"] - 1;  // the counter is process-wide
  EXPECT_EQ((std::map<std::string, int>{{"a1", base + 1}, {"a2", base + 2}, {"b1", base + 5}}),
            keys);
  EXPECT_EQ((std::map<std::string, int>{{"a3", base + 3}}),
            KeysByFile(loader->GetOpenSelfProtectItems()));
  EXPECT_EQ((std::map<std::string, int>{{"a4", base + 4}}),
            KeysByFile(loader->GetAfterSelfProtectItems()));
  for (const auto& item : loader->GetAfterSetupItems()) {
    EXPECT_EQ(std::to_string(std::stoi(item.first)), item.first);  // plain decimal
  }

  // A second load empties the maps and goes on counting; copies taken before stay readable.
  const PhaseItemMap before = loader->GetAfterSetupItems();
  ASSERT_TRUE(loader->LoadModules());
  EXPECT_EQ((std::map<std::string, int>{{"a1", base + 6}, {"a2", base + 7}, {"b1", base + 10}}),
            KeysByFile(loader->GetAfterSetupItems()));
  EXPECT_EQ((std::map<std::string, int>{{"a4", base + 9}}),
            KeysByFile(loader->GetAfterSelfProtectItems()));
  EXPECT_EQ(3u, Files(before).size());
  EXPECT_EQ("a1", BundleString(before.at(std::to_string(base + 1)), "file"));
}

TEST_F(ModXmlLoaderTest, MapsWalkKeysAsText) {
  // Learn where the process-wide counter stands, then load enough items to
  // cross the next power of ten.
  WriteModule("mod_probe.xml", ModuleXml(PhaseXml("after_setup", Item("probe"))));
  auto probe = MakeLoader();
  ASSERT_TRUE(probe->LoadModules());
  const int first = std::stoi(probe->GetAfterSetupItems().begin()->first) + 1;
  int power = 10;
  while (power <= first) power *= 10;
  const int count = power + 3 - first;

  UseProduct("many");
  std::string items;
  for (int i = 0; i < count; ++i) items += Item(std::to_string(first + i));
  WriteModule("mod_many.xml", ModuleXml(PhaseXml("after_setup", items)));
  auto loader = MakeLoader();
  ASSERT_TRUE(loader->LoadModules());
  const PhaseItemMap loaded = loader->GetAfterSetupItems();

  std::vector<std::string> expected;
  for (int i = 0; i < count; ++i) expected.push_back(std::to_string(first + i));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, Files(loaded));  // each item's file names its own key
  std::vector<std::string> keys;
  for (const auto& item : loaded) keys.push_back(item.first);
  EXPECT_EQ(expected, keys);
  EXPECT_EQ(std::to_string(power), keys.front());  // e.g. 1, 10, 11, 12, 2, ... from a fresh start
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

  ModXmlLoader unfiltered(Wide(product_), nullptr);
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
  GetInstallPath() = product_;
  WriteTextFile(JoinPath(modularize_, "module_config.dat"),
                R"({"module_info":{"alpha":{"state":"1"},"beta":{"state":"0"}}})");
  const std::string alpha =
      WriteModule("mod_alpha.xml", ModuleXml(PhaseXml("after_setup", Item("a"))));
  const std::string beta =
      WriteModule("mod_beta.xml", ModuleXml(PhaseXml("after_setup", Item("b"))));
  ModXmlLoader loader(Wide(product_), std::make_shared<LoadModFilter>());
  EXPECT_TRUE(loader.LoadModules());
  EXPECT_EQ(std::vector<std::string>{"a"}, Files(loader.GetAfterSetupItems()));
  EXPECT_EQ(
      (std::vector<std::string>{FolderLine(),
                                FileLine(alpha),
                                FileLine(beta),
                                "I FilterLoadModule.cpp beta is not installed, will ignore it."}),
      log_.Take());
}

std::string Deep(size_t levels, const std::string& inner) {
  std::string text;
  for (size_t i = 0; i < levels; ++i) text += "<d>";
  text += inner;
  for (size_t i = 0; i < levels; ++i) text += "</d>";
  return text;
}

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
    GetInstallErrorRecord() = InstallErrorRecord();
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
