#include "App/FilterLoadModule.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "App/JsonGuard.h"
#include "Platform/system/system.h"
#include "tests/support/builders.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"

namespace {

std::string Nested(size_t depth, const std::string& inner) {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

class LoadModFilterTest : public ::testing::Test {
 protected:
  void SetUp() override { UseInstallFolder(folder_.path()); }

  void UseInstallFolder(const std::string& install) {
    install_ = install;
    filter_ = LoadModFilter(install);
    WriteTextFile(ModuleFile("alpha"), "<root/>");
  }
  std::string ModuleFile(const std::string& name) const {
    return JoinPath(JoinPath(install_, "modularize"), "mod_" + name + ".xml");
  }
  std::string ConfigPath() const {
    return JoinPath(JoinPath(install_, "modularize"), "module_config.dat");
  }
  void WriteConfig(const std::string& json) { WriteTextFile(ConfigPath(), json); }
  void WriteState(const std::string& name, const std::string& state) {
    WriteConfig(R"({"module_info":{")" + name + R"(":{"state":)" + state + "}}}");
  }
  bool Ask(const std::string& name) { return filter_.IsModuleInstalled(Wide(ModuleFile(name))); }

  std::string ParseFailedLine(int code) const {
    return "E FilterLoadModule.cpp parse json failed. file: " + ConfigPath() +
           " ,GetParseError() : " + std::to_string(code);
  }
  std::string ShapeFailedLine() const {
    return "E FilterLoadModule.cpp parse json failed. file: " + ConfigPath();
  }
  static std::string NotInstalledLine(const std::string& name) {
    return "I FilterLoadModule.cpp " + name + " is not installed, will ignore it.";
  }

  TempFolder folder_;
  std::string install_;
  LoadModFilter filter_{""};
  LogLines log_;
};

TEST_F(LoadModFilterTest, OnlyTheTextOneIsInstalled) {
  WriteState("alpha", R"("1")");
  EXPECT_TRUE(Ask("alpha"));
  EXPECT_TRUE(log_.Take().empty());

  for (const char* state : {"1", R"("01")", R"("1 ")", R"("")", "null", "true", R"(["1"])"}) {
    SCOPED_TRACE(state);
    WriteState("alpha", state);
    EXPECT_FALSE(Ask("alpha"));
    EXPECT_EQ(std::vector<std::string>{NotInstalledLine("alpha")}, log_.Take());
  }
  WriteConfig(R"({"module_info":{"alpha":{"status":"1"}}})");
  EXPECT_FALSE(Ask("alpha"));
  EXPECT_EQ(std::vector<std::string>{NotInstalledLine("alpha")}, log_.Take());
}

TEST_F(LoadModFilterTest, ListIsReadAgainWhenAnotherFileOrSizeLiesThere) {
  // Each new list keeps the first one's time of writing: only the file number
  // or the size tells it from the list parsed before.
  WriteState("alpha", R"("1")");
  const auto written = std::filesystem::last_write_time(ConfigPath());
  EXPECT_TRUE(Ask("alpha"));
  const std::string replacement = ConfigPath() + ".new";
  WriteTextFile(replacement, R"({"module_info":{"alpha":{"state":"0"}}})");
  std::filesystem::last_write_time(replacement, written);
  std::filesystem::rename(replacement, ConfigPath());
  EXPECT_FALSE(Ask("alpha"));
  WriteState("alpha", R"( "1")");
  std::filesystem::last_write_time(ConfigPath(), written);
  EXPECT_TRUE(Ask("alpha"));
}

TEST_F(LoadModFilterTest, ModuleEntryMustMatchExactlyAndBeAnObject) {
  WriteConfig(R"({"module_info":{"Alpha":{"state":"1"},"beta":"1"}})");
  WriteTextFile(ModuleFile("beta"), "");
  EXPECT_FALSE(Ask("alpha"));
  EXPECT_FALSE(Ask("beta"));
  EXPECT_EQ((std::vector<std::string>{NotInstalledLine("alpha"), NotInstalledLine("beta")}),
            log_.Take());

  // The first of two same-named members is the one that counts.
  WriteConfig(R"({"module_info":{"alpha":{"state":"0"}},"module_info":{"alpha":{"state":"1"}}})");
  EXPECT_FALSE(Ask("alpha"));
  WriteConfig(R"({"module_info":{"alpha":{"state":"1"}},"module_info":{"alpha":{"state":"0"}}})");
  EXPECT_TRUE(Ask("alpha"));
  WriteConfig(R"({"module_info":{"alpha":{"state":"1","state":"0"}}})");
  EXPECT_TRUE(Ask("alpha"));

  // A "_" inside the module part of the file name belongs to the name.
  WriteTextFile(ModuleFile("net_guard"), "");
  WriteState("net_guard", R"("1")");
  EXPECT_TRUE(Ask("net_guard"));
}

TEST_F(LoadModFilterTest, ParseFailuresLogTheParserCode) {
  const struct {
    const char* json;
    int code;
  } cases[] = {
      {"", 1},
      {"  \n", 1},
      {R"({"module_info":{}} {})", 2},
      {"// installed\n{\"module_info\":{}}", 3},
      {R"({"module_info":{"alpha":{"state":"1"}}} /* c */)", 2},
      {R"({"module_info":{"alpha":{"state":"1"})", 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    WriteConfig(c.json);
    EXPECT_FALSE(Ask("alpha"));
    EXPECT_EQ(std::vector<std::string>{ParseFailedLine(c.code)}, log_.Take());
  }

  for (const char* json : {"[]",
                           R"("text")",
                           "{}",
                           R"({"module_info":[]})",
                           R"({"Module_Info":{"alpha":{"state":"1"}}})"}) {
    SCOPED_TRACE(json);
    WriteConfig(json);
    EXPECT_FALSE(Ask("alpha"));
    EXPECT_EQ(std::vector<std::string>{ShapeFailedLine()}, log_.Take());
  }
}

TEST_F(LoadModFilterTest, UnreadableConfigReadsAsEmpty) {
  // A folder in the configuration file's place exists but yields no bytes.
  WriteTextFile(JoinPath(ConfigPath(), "inner"), "");
  EXPECT_FALSE(Ask("alpha"));
  EXPECT_EQ(std::vector<std::string>{ParseFailedLine(1)}, log_.Take());
}

TEST_F(LoadModFilterTest, MissingFilesAnswerFalseSilently) {
  EXPECT_FALSE(Ask("alpha"));  // no module_config.dat yet
  WriteState("ghost", R"("1")");
  EXPECT_FALSE(Ask("ghost"));  // no module file
  EXPECT_FALSE(filter_.IsModuleInstalled(L""));
  filter_ = LoadModFilter("");  // configuration path becomes the bare suffix
  EXPECT_FALSE(Ask("alpha"));
  EXPECT_TRUE(log_.Take().empty());
}

TEST_F(LoadModFilterTest, FolderNamesDoNotMoveTheModuleName) {
  UseInstallFolder(JoinPath(folder_.path(), "My_Product.v2"));
  WriteConfig(R"({"module_info":{"alpha":{"state":"1"},"beta":{"state":"0"}}})");
  WriteTextFile(ModuleFile("beta"), "");
  EXPECT_TRUE(Ask("alpha"));
  EXPECT_FALSE(Ask("beta"));
  EXPECT_EQ(std::vector<std::string>{NotInstalledLine("beta")}, log_.Take());
}

// Judge gives the reason behind each answer, and IsModuleInstalled answers
// and logs according to it.
TEST_F(LoadModFilterTest, JudgeNamesTheReasonAndLogsNothing) {
  const struct {
    const char* json;  // null: no module_config.dat
    ModuleVerdictReason reason;
    std::vector<std::string> line;
  } cases[] = {
      {nullptr, ModuleVerdictReason::kNoConfig, {}},
      {"", ModuleVerdictReason::kConfigUnparsable, {ParseFailedLine(1)}},
      {"[]", ModuleVerdictReason::kConfigMisshapen, {ShapeFailedLine()}},
      {R"({"module_info":{"beta":{"state":"1"}}})",
       ModuleVerdictReason::kNotListed,
       {NotInstalledLine("alpha")}},
      {R"({"module_info":{"alpha":"1"}})",
       ModuleVerdictReason::kEntryNotObject,
       {NotInstalledLine("alpha")}},
      {R"({"module_info":{"alpha":{}}})",
       ModuleVerdictReason::kNoState,
       {NotInstalledLine("alpha")}},
      {R"({"module_info":{"alpha":{"state":1}}})",
       ModuleVerdictReason::kStateNotString,
       {NotInstalledLine("alpha")}},
      {R"({"module_info":{"alpha":{"state":"0"}}})",
       ModuleVerdictReason::kStateNotOne,
       {NotInstalledLine("alpha")}},
      {R"({"module_info":{"alpha":{"state":"1"}}})", ModuleVerdictReason::kInstalled, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json == nullptr ? "(no file)" : c.json);
    std::filesystem::remove(ConfigPath());
    if (c.json != nullptr) WriteConfig(c.json);
    const ModuleVerdict verdict = filter_.Judge(Wide(ModuleFile("alpha")));
    EXPECT_TRUE(log_.Take().empty());
    EXPECT_EQ(c.reason, verdict.reason);
    EXPECT_EQ(c.reason == ModuleVerdictReason::kInstalled, verdict.installed);
    EXPECT_EQ("alpha", verdict.module_name);
    EXPECT_EQ(Wide(ConfigPath()), verdict.config_path);
    EXPECT_EQ(verdict.installed, Ask("alpha"));
    EXPECT_EQ(c.line, log_.Take());
  }
  WriteConfig("{} {}");
  EXPECT_EQ(2, filter_.Judge(Wide(ModuleFile("alpha"))).parse_error);
  WriteState("alpha", R"("yes")");
  EXPECT_EQ("yes", filter_.Judge(Wide(ModuleFile("alpha"))).state);
  EXPECT_EQ(ModuleVerdictReason::kNoModuleFile, filter_.Judge(Wide(ModuleFile("ghost"))).reason);
  EXPECT_TRUE(log_.Take().empty());
}

TEST(ModuleNameFromPathTest, UsesTheFileNameOnly) {
  const std::wstring sep(1, platform::kPathSeparator);
  const std::wstring folder = sep + L"opt" + sep + L"My_Product.v2" + sep + L"modularize" + sep;
  EXPECT_EQ(L"alpha", ModuleNameFromPath(folder + L"mod_alpha.xml"));
  EXPECT_EQ(L"net_guard", ModuleNameFromPath(folder + L"mod_net_guard.xml"));
  EXPECT_EQ(L"", ModuleNameFromPath(folder + L"mod_.xml"));
  EXPECT_EQ(L"a", ModuleNameFromPath(folder + L"mod_a.b.xml"));
  EXPECT_EQ(L"b.xml", ModuleNameFromPath(folder + L"mod.a_b.xml"));  // "." before the "_"
  EXPECT_EQ(L"plain", ModuleNameFromPath(folder + L"plain.xml"));
  EXPECT_EQ(L"tail", ModuleNameFromPath(L"mod_tail"));
  if (platform::kPathSeparator == L'\\') {
    EXPECT_EQ(L"alpha", ModuleNameFromPath(L"C:\\My_Dir/sub.d/mod_alpha.xml"));
  } else {
    EXPECT_EQ(L"a\\mod_b", ModuleNameFromPath(L"/opt/mod_a\\mod_b.xml"));
  }
}

TEST_F(LoadModFilterTest, HostileDocumentsAreRefusedNotParsed) {
  WriteConfig(Nested(100000, ""));
  EXPECT_FALSE(Ask("alpha"));
  WriteConfig(R"({"module_info":{"alpha":{"state":"1","v":1.0000000000e-2147483639}}})");
  EXPECT_FALSE(Ask("alpha"));
  const std::vector<std::string> refused{ParseFailedLine(16)};
  EXPECT_EQ((std::vector<std::string>{refused[0], refused[0]}), log_.Take());

  // Three objects plus the arrays: exactly the limit still parses.
  const std::string entry = R"({"module_info":{"alpha":{"state":"1","v":)";
  WriteConfig(entry + Nested(kMaxJsonNesting - 3, "") + "}}}");
  EXPECT_TRUE(Ask("alpha"));
  WriteConfig(entry + Nested(kMaxJsonNesting - 2, "") + "}}}");
  EXPECT_FALSE(Ask("alpha"));
  EXPECT_EQ(refused, log_.Take());

  // Ordinary numbers, and brackets or exponents inside strings, are untouched.
  WriteConfig(entry + R"([1e-300, -2.5E+10, 0.000001e5, 18446744073709551616e-4, 1e-0000099],)" +
              R"("s":")" + std::string(2000, '[') + R"(\"1e-2147483639"}}})");
  EXPECT_TRUE(Ask("alpha"));
  EXPECT_TRUE(log_.Take().empty());
}

TEST(JsonGuardTest, BoundsExponentAndFractionTogether) {
  EXPECT_TRUE(IsJsonSafeToParse("[1e-99999999]"));
  EXPECT_FALSE(IsJsonSafeToParse("[1e-100000000]"));
  EXPECT_TRUE(IsJsonSafeToParse("[1." + std::string(999, '0') + "e-99999000]"));
  EXPECT_FALSE(IsJsonSafeToParse("[1." + std::string(1000, '0') + "e-99999000]"));
  EXPECT_FALSE(IsJsonSafeToParse("[1E+99999999999999999999999]"));
  // Past the first NUL the parser reads nothing.
  EXPECT_TRUE(IsJsonSafeToParse(std::string("{}\0", 3) + Nested(1000, "")));
  EXPECT_FALSE(IsJsonSafeToParse("{\"a\\\"\":" + Nested(1000, "")));
}

// Truncated and mutated lists must get an answer, never bring the filter down.
TEST_F(LoadModFilterTest, FuzzedListsOnlyGetAnswers) {
  const std::string seed =
      R"({"module_info":{"alpha":{"state":"1","n":[1.5e3,-0.25,true,null,"a\"b\u00e9"]},)"
      R"("beta":{"state":"0"}},"other":{}})";
  const std::string alphabet = "{}[]\":,\\-+.eE019 tfn\x01\xff";
  std::mt19937 random(20240517u);
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
      case 2:
        text.insert(random() % text.size(), Nested(random() % 1200, ""));
        break;
      default:
        text.insert(random() % text.size(),
                    "1." + std::string(random() % 12, '0') + "e-" + std::to_string(random()) +
                        std::to_string(random()));
        break;
    }
    WriteConfig(text);
    const bool installed = Ask("alpha");
    const std::vector<std::string> lines = log_.Take();
    SCOPED_TRACE(text);
    if (installed) {
      EXPECT_TRUE(lines.empty());
      continue;
    }
    ASSERT_EQ(1u, lines.size());
    const std::string& line = lines[0];
    if (line == NotInstalledLine("alpha") || line == ShapeFailedLine()) continue;
    const std::string prefix = ParseFailedLine(0).substr(0, ParseFailedLine(0).size() - 1);
    ASSERT_EQ(prefix, line.substr(0, prefix.size()));
    const int code = std::stoi(line.substr(prefix.size()));
    EXPECT_GE(code, 1);
    EXPECT_LE(code, 16);
  }
}

}  // namespace
