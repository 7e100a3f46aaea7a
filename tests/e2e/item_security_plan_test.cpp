// What taverly-plan tells of the items that guard what they run: files and
// folders other accounts could change (through links too), signatures, and
// values that turn nothing on.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gmock/gmock.h>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

namespace e2e {
namespace {

using ItemSecurityPlanTest = ProductTest;

// The plan names each risk: a file others may change, an unsigned item in a
// product that signs, a signed item that would be refused, an unquoted
// product path in a command script, and values that turn nothing on.
TEST_F(ItemSecurityPlanTest, PlanWarnsAboutWhatOthersCouldTurnAgainstTheRun) {
  const std::string open_probe = target().Program("open/probe");
  product_.AddProbe(open_probe);
  // A command script on Windows; natively only its name matters.
  product_.AddFile("bin/setup.cmd", product_.Path(probe_));
  if (target().windows) std::ofstream(product_.Path("bin/setup.cmd")) << "@exit /b 0\r\n";
  product_.AddModuleFile(
      "mod_core.xml",
      Probe("a", {{"signed", "1"}, {"sensitive", "yes"}}) +
          Probe("b", {{"file", target().Relative(open_probe)}, {"signed", "true"}}),
      Probe("c", {{"file", target().Relative("bin/setup.cmd")}}),
      Probe(
          "d",
          {{"param", "&quot;%productpath%&quot;"}, {"file", target().Relative("bin/setup.cmd")}}));
  // Under Wine the folder's mode becomes an access list granting everyone write.
  chmod(product_.Path("open").c_str(), 0777);
  const std::string text = PlanProduct().out;
  std::vector<std::string> codes;
  for (size_t at = text.find("  ["); at != std::string::npos; at = text.find("  [", at + 1)) {
    const std::string code = text.substr(at + 3, text.find(']', at) - at - 3);
    // Whether this system has an open action for .cmd is beside the point.
    if (code != "cannot-start") codes.push_back(code);
  }
  const std::vector<std::string> expected = {"sensitive-unused",
                                             "signature-refused",
                                             "signed-unused",
                                             "writable-by-others",
                                             "unsigned",
                                             "unsigned",
                                             "unquoted-productpath",
                                             "unsigned"};
  EXPECT_EQ(codes, expected) << text;
  EXPECT_THAT(text, HasSubstr("    signed: \"1\" (checked before the start: verdict 0 "));
  EXPECT_THAT(text, HasSubstr("    sensitive: \"yes\" (not used)"));
}

// Whoever may change what the run reads or runs can turn it against the
// machine, wherever it lies: behind a link in a folder others may write
// (what the link leads to may be safe), in the module folder, in a module
// file or the module list. Under Wine modes become access lists.
TEST_F(ItemSecurityPlanTest, PlanNamesEveryPlaceOthersCouldChange) {
  const std::string linked = target().Program("open/probe"), base = target().security_base_name;
  fs::create_directories(product_.Path("open"));
  fs::create_symlink(product_.Path(probe_), product_.Path(linked));
  fs::create_symlink(target().security_base, product_.Path(base));
  product_.AddModuleFile(
      "mod_core.xml", Probe("a", {{"file", target().Relative(linked)}}), Probe("b"), Probe("c"));
  // The warnings while these are open to others (mode 0777 or 0666).
  auto warned = [&](const std::vector<std::string>& open) {
    for (const std::string& name : open) chmod(product_.Path(name).c_str(), 0777);
    std::istringstream lines(PlanProduct().out);
    for (const std::string& name : open) chmod(product_.Path(name).c_str(), 0755);
    std::vector<std::string> texts;
    const std::string code = "  [writable-by-others] ";
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind(code, 0) == 0) texts.push_back(line.substr(code.size()));
    }
    return texts;
  };
  const std::string above = ", or a folder above it, can be changed by other accounts: ";
  EXPECT_THAT(warned({"open"}),
              ::testing::ElementsAre(HasSubstr(At(linked) + above + "what they put there")));
  EXPECT_THAT(warned({"modularize"}),
              ::testing::ElementsAre(At("modularize") + ", the module folder" + above +
                                     "a module file put there adds items that run with the "
                                     "rights of the run"));
  EXPECT_THAT(warned({"modularize/mod_core.xml", "modularize/module_config.dat"}),
              ::testing::ElementsAre(At("modularize/mod_core.xml") + ", a module file" + above +
                                         "the items it declares run with the rights of the run",
                                     At("modularize/module_config.dat") + ", the module list" +
                                         above + "it decides which module files run"));
  EXPECT_THAT(warned({"."}),
              Contains(At(base) + ", the security base" + above +
                       "a library put there is loaded into the run"));
}

// A link that leads to a link lies in a folder of its own, and so does what
// the second holds; a file that is not there may be put there by whoever
// may add to its folder. (Wine shows no link: native only for the chain.)
TEST_F(ItemSecurityPlanTest, PlanFollowsEveryLinkAndMissingFile) {
  const std::string chained = target().Program("bin/tool"), missing = target().Program("open/gone");
  fs::create_directories(product_.Path("open"));
  chmod(product_.Path("open").c_str(), 0777);
  std::string items = Probe("b", {{"file", target().Relative(missing)}});
  if (!target().windows) {
    const std::string shared = tmp_.Join("shared");
    fs::create_directories(shared);
    chmod(shared.c_str(), 0777);
    fs::create_symlink(product_.Path(probe_), shared + "/tool");
    fs::create_directories(product_.Path("bin"));
    fs::create_symlink("../../shared/tool", product_.Path(chained));
    items = Probe("a", {{"file", target().Relative(chained)}}) + items;
  }
  product_.AddModuleFile("mod_core.xml", items, Probe("c"), Probe("d"));
  const std::string plan = PlanProduct().out;
  const std::string tail = ", or a folder above it, can be changed by other accounts: ";
  EXPECT_THAT(plan,
              HasSubstr("[writable-by-others] phase after_setup, key " +
                        std::string(target().windows ? "1" : "2") +
                        " (mod_core.xml): " + At(missing) + tail));
  if (!target().windows) {
    EXPECT_THAT(plan,
                HasSubstr("[writable-by-others] phase after_setup, key 1 (mod_core.xml): " +
                          At(chained) + tail));
  }
}

}  // namespace
}  // namespace e2e
