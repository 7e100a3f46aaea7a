// Items that must carry the product's signature (signed="1") and items whose
// parameters stay out of every record (sensitive="1").
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>

#include "tests/e2e/harness.h"

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

namespace e2e {
namespace {

class ItemSecurityTest : public ProductTest {
 protected:
  // Signs the product's file relative with key 0 or 1.
  void Sign(const std::string& relative, int key) const {
    const std::string command = SignTool() + " sign --key " + DevKey(key) + " --index " +
                                std::to_string(key) + " " + product_.Path(relative) + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  // A signed="1" library item calling entry, which must return -1 when expect.
  static std::string SignedDll(const std::string& file, const std::string& entry,
                               bool expect = true) {
    std::map<std::string, std::string> attributes{{"type", "SimpleDll"},
                                                  {"file", target().Relative(file)},
                                                  {"entry", entry},
                                                  {"signed", "1"}};
    if (expect) attributes["exitcode"] = "-1";
    return Item(attributes);
  }

  // The line, record and result of a run that failed at a signed item whose
  // file verified but could not run as it was checked.
  void ExpectFailed(const std::string& line) {
    EXPECT_THAT(Messages(), Contains("E:" + line));
    EXPECT_THAT(Messages(), Contains("E:CallPluginContainer() failed"));
    EXPECT_THAT(Messages(), Not(Contains(HasSubstr("not signed"))));
    EXPECT_EQ(Result("error_info", "error_code"), "InstallError:52");
    EXPECT_EQ(Result("error_info", "error_detail"), line);
    EXPECT_TRUE(Calls().empty());
  }

  // The lines and result of a run that failed at a signed item's file.
  void ExpectRefused(const std::string& relative) {
    const std::string path = At(relative);
    EXPECT_THAT(Messages(), Contains("E:file not signed,file:" + path));
    EXPECT_THAT(Messages(), Contains("E:CallPluginContainer() failed"));
    EXPECT_EQ(Result("error_info", "error_code"), "InstallError:52");
    EXPECT_EQ(Result("error_info", "error_detail"), "item not signed, file:" + path);
  }
};

// Only a file signed with key 1, as it was signed, starts; every other one
// fails its item before anything runs.
TEST_F(ItemSecurityTest, SignedProgramStartsOnlyWhenItVerifies) {
  const std::string signed_probe = target().Program("bin/signed");
  for (const std::string kind : {"key1", "key0", "unsigned", "altered"}) {
    SCOPED_TRACE(kind);
    product_.AddProbe(signed_probe);
    if (kind != "unsigned") Sign(signed_probe, kind == "key0" ? 0 : 1);
    if (kind == "altered") {
      // A byte the loader never reads: the program would still run as it is.
      std::fstream file(product_.Path(signed_probe),
                        std::ios::in | std::ios::out | std::ios::binary);
      file.seekp(target().ignored_byte_offset);
      file.put('\x7e');
    }
    fs::remove(product_.Path("calls.txt"));
    fs::remove_all(LogDir());
    product_.AddModuleFile("mod_core.xml",
                           Probe("s", {{"file", target().Relative(signed_probe)}, {"signed", "1"}}),
                           Probe("b"),
                           Probe("c"));
    const int exit_code = RunProduct().exit_code;
    if (kind == "key1") {
      EXPECT_EQ(exit_code, 0);
      EXPECT_EQ(Calls(), (std::vector<std::string>{"s", "b", "c"}));
      EXPECT_THAT(Messages(), Not(Contains(HasSubstr("not signed"))));
      continue;
    }
    EXPECT_EQ(exit_code, 210);
    EXPECT_TRUE(Calls().empty());
    ExpectRefused(signed_probe);
  }
}

// A signed script runs, its interpreter reading the file that was checked;
// a signed library loads; an unsigned library with signed="1" is not called.
TEST_F(ItemSecurityTest, SignedScriptAndLibraryRun) {
  const std::string script = target().windows ? "bin/run.bat" : "bin/run.sh";
  const std::string probe_path = target().Spell(product_.Path(probe_));
  fs::create_directories(product_.Path("bin"));
  std::ofstream(product_.Path(script), std::ios::binary)
      << (target().windows ? "@\"" + probe_path + "\" %*\r\n@exit /b\r\n"
                           : "#!/bin/sh\nexec \"" + probe_path + "\" \"$@\"\n");
  fs::permissions(product_.Path(script), fs::perms::owner_all);
  Sign(script, 1);
  const std::string library = target().Library("lib/signed");
  const std::string unsigned_library = target().Library("lib/unsigned");
  product_.AddFile(library, target().probe_library);
  product_.AddFile(unsigned_library, target().probe_library);
  Sign(library, 1);
  product_.AddModuleFile("mod_core.xml",
                         Probe("script", {{"file", target().Relative(script)}, {"signed", "1"}}) +
                             SignedDll(library, "ReturnMinusOne") +
                             SignedDll(unsigned_library, "ReturnMinusOne"),
                         Probe("b"),
                         Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 210);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"script", "dll:ReturnMinusOne"}));
  ExpectRefused(unsigned_library);
}

// The loader knows each signed library by the name it was loaded under: the
// security base's and the first item's names must not be taken for later ones.
TEST_F(ItemSecurityTest, SignedLibrariesEachLoadAsThemselves) {
  product_.AddFile(target().security_base_name, target().security_base);
  Sign(target().security_base_name, 1);
  const std::string first = target().Library("lib/first");
  const std::string second = target().Library("lib/second");
  for (const std::string& library : {first, second}) {
    product_.AddFile(library, target().probe_library);
    Sign(library, 1);
  }
  product_.AddModuleFile(
      "mod_core.xml",
      SignedDll(first, "ReturnMinusOne") + SignedDll(second, "ReturnZero", false),
      Probe("b"),
      Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 0);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"dll:ReturnMinusOne", "dll:ReturnZero", "b", "c"}));
  EXPECT_TRUE(fs::exists(product_.Path("brindle_started.txt")));
}

// A signed library that needs a library of the product found in its own
// folder would run code nobody checked: it fails the run. Unsigned, it loads.
TEST_F(ItemSecurityTest, SignedLibraryWithDependenciesOfItsOwnFails) {
  const std::string library = "lib/" + fs::path(target().origin_library).filename().string();
  product_.AddFile(library, target().origin_library);
  product_.AddFile("lib/" + fs::path(target().origin_dependency).filename().string(),
                   target().origin_dependency);
  Sign(library, 1);
  product_.AddModuleFile(
      "mod_core.xml",
      SignedDll(library, "FromOrigin") + Item({{"type", "SimpleDll"},
                                               {"file", target().Relative(library)},
                                               {"entry", "FromOrigin"}}),
      Probe("b"),
      Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 210);
  if (!target().windows) {
    ExpectFailed(
        "signed library not loaded, it may load libraries from outside the system "
        "folders, file:" +
        At(library) + " ,by: RUNPATH $ORIGIN");
  } else {
    // The system folder alone is searched: the library beside it is not found.
    const std::string load = "I:LoadLibrary fail: " + At(library) + " ,getlasterror = ";
    const std::vector<std::string> messages = Messages();
    const auto failed = std::find_if(messages.begin(), messages.end(), [&](const std::string& m) {
      return m.compare(0, load.size(), load) == 0;
    });
    ASSERT_NE(failed, messages.end());
    ExpectFailed("signed library not loaded as checked, file:" + At(library) +
                 " ,error: " + failed->substr(load.size()));
  }
  const std::string plan = PlanProduct({"--load"}).out;
  EXPECT_THAT(plan,
              HasSubstr("  [signed-cannot-run] phase after_setup, key 1 (mod_core.xml): "
                        "signed=\"1\" and " +
                        At(library)));
  EXPECT_THAT(plan, HasSubstr("(exists, loads and exports \"FromOrigin\")"));
  if (!target().windows) {
    EXPECT_THAT(plan,
                HasSubstr(" may load libraries from outside the system folders "
                          "(\"RUNPATH $ORIGIN\"): the run fails this item with error "
                          "code 52"));
  }
}

// A signed program that would have the system run code nobody checked
// fails the run before it starts: a library of the product it needs (on
// Windows one beside it), natively also a "#!" interpreter of the product
// or one that env looks for on PATH. The plan says so first.
TEST_F(ItemSecurityTest, SignedProgramThatRunsUncheckedCodeFails) {
  const std::string program = "bin/" + fs::path(target().origin_program).filename().string();
  const std::string dependency = fs::path(target().origin_dependency).filename().string();
  product_.AddFile(program, target().origin_program);
  product_.AddFile("bin/" + dependency, target().origin_dependency);
  std::vector<std::pair<std::string, std::string>> cases = {
      {program, target().windows ? "IMPORT " + dependency : "RUNPATH $ORIGIN"}};
  if (!target().windows) {
    product_.AddFile("bin/sh", "/bin/sh");
    for (const std::string& interpreter :
         {product_.Path("bin/sh"), std::string("/usr/bin/env sh")}) {
      const std::string script = "bin/s" + std::to_string(cases.size()) + ".sh";
      std::ofstream(product_.Path(script)) << "#!" << interpreter << "\nexit 0\n";
      fs::permissions(product_.Path(script), fs::perms::owner_all);
      cases.emplace_back(script, "#!" + interpreter);
    }
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    Sign(c.first, 1);
    fs::remove_all(LogDir());
    product_.AddModuleFile("mod_core.xml",
                           Probe("a", {{"file", target().Relative(c.first)}, {"signed", "1"}}),
                           Probe("b"),
                           Probe("c"));
    EXPECT_EQ(RunProduct().exit_code, 210);
    ExpectFailed(
        "signed program not started, it may run code from outside the system folders, "
        "file:" +
        At(c.first) + " ,by: " + c.second);
    EXPECT_THAT(PlanProduct().out,
                HasSubstr("  [signed-cannot-run] phase after_setup, key 1 (mod_core.xml): "
                          "signed=\"1\" and " +
                          At(c.first) + " may run code from outside the system folders (\"" +
                          c.second + "\"): the run fails this item with error code 52"));
  }
}

// A command script that does not end itself would go on into its signature
// block: taverly-sign will not sign it, and a run started on one signed
// anyway fails before the command processor reads a line.
TEST_F(ItemSecurityTest, SignedCommandScriptMustEndBeforeItsSignature) {
  const std::string script = "bin/setup.cmd";
  product_.AddFile(script, product_.Path(probe_));
  std::ofstream(product_.Path(script), std::ios::binary) << "@echo started\r\n";
  const std::string err = tmp_.Join("sign-err.txt");
  const int refused = std::system((SignTool() + " sign --key " + DevKey(1) + " --index 1 " +
                                   product_.Path(script) + " 2>" + err)
                                      .c_str());
  EXPECT_EQ(WEXITSTATUS(refused), 1);
  EXPECT_THAT(ReadTextFile(err), HasSubstr("is a command script that does not end itself"));
  // Signed under another name, which the signature does not cover.
  fs::rename(product_.Path(script), product_.Path("bin/setup.txt"));
  Sign("bin/setup.txt", 1);
  fs::rename(product_.Path("bin/setup.txt"), product_.Path(script));
  product_.AddModuleFile("mod_core.xml",
                         Probe("a", {{"file", target().Relative(script)}, {"signed", "1"}}),
                         Probe("b"),
                         Probe("c"));
  EXPECT_EQ(RunProduct().exit_code, 210);
  ExpectFailed("signed command script not started, it does not end before its signature, file:" +
               At(script));
  EXPECT_THAT(PlanProduct().out,
              HasSubstr("  [signed-cannot-run] phase after_setup, key 1 (mod_core.xml): "
                        "signed=\"1\" and " +
                        At(script) +
                        " does not end before its signature block: its last line that is not "
                        "blank must be exit or goto :eof, followed by a line break: the run "
                        "fails this item with error code 52"));
}

// A signed file that verifies but that the system cannot start or load
// fails the run; it is never passed over.
TEST_F(ItemSecurityTest, SignedItemThatDoesNotStartOrLoadFails) {
  const std::string program = target().Program("bin/garbage");
  const std::string library = target().Library("lib/garbage");
  for (const std::string& file : {program, library}) {
    SCOPED_TRACE(file);
    fs::create_directories(fs::path(product_.Path(file)).parent_path());
    std::ofstream(product_.Path(file), std::ios::binary) << "neither a program nor a library\n";
    fs::permissions(product_.Path(file), fs::perms::owner_all);
    Sign(file, 1);
    fs::remove_all(LogDir());
    const std::string item = file == program
                                 ? Probe("a", {{"file", target().Relative(file)}, {"signed", "1"}})
                                 : SignedDll(file, "ReturnMinusOne");
    product_.AddModuleFile("mod_core.xml", item, Probe("b"), Probe("c"));
    EXPECT_EQ(RunProduct().exit_code, 210);
    const std::string error = std::to_string(target().bad_format_error);
    if (file == program) {
      ExpectFailed("signed program not started as checked, file:" + At(file) + " ,error: " + error);
    } else {
      EXPECT_THAT(Messages(),
                  Contains("I:LoadLibrary fail: " + At(file) + " ,getlasterror = " + error));
      ExpectFailed("signed library not loaded as checked, file:" + At(file) + " ,error: " + error);
    }
  }
}

// A sensitive item's parameters reach the program and nothing else: not the
// log folder's files, not stderr, not the plan in either form.
TEST_F(ItemSecurityTest, SensitiveParametersStayOutOfEveryRecord) {
  const std::string secret = "Tok3n-of-the-enrolment";
  const std::string item = Probe("a --secret=" + secret, {{"sensitive", "1"}, {"exitcode", "5"}});
  product_.AddModuleFile("mod_core.xml", item, Probe("b"), Probe("c"));
  const RunResult run = RunProduct();
  EXPECT_EQ(run.exit_code, 210);
  const std::vector<ProbeRun> runs = ReadProbeRecords(product_.Path("calls.txt"));
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_THAT(runs[0].args, Contains("--secret=" + secret));
  EXPECT_THAT(Messages(),
              Contains("I:run exe application: " + At(probe_) +
                       " , param: *** ,wait_for_exit: 1 , system: "));
  EXPECT_EQ(Result("error_info", "error_detail"),
            "exitCode do not match expectations, exe file:" + At(probe_) +
                " ,param:*** ,exe exit code:0 ,expected exit code:-1");
  EXPECT_THAT(run.err, Not(HasSubstr(secret)));
  for (const auto& entry : fs::directory_iterator(LogDir())) {
    EXPECT_THAT(ReadTextFile(entry.path().string()), Not(HasSubstr(secret))) << entry.path();
  }
  for (const char* form : {"", "--json"}) {
    const RunResult plan =
        PlanProduct(*form != '\0' ? std::vector<std::string>{form} : std::vector<std::string>{});
    EXPECT_THAT(plan.out, HasSubstr("***")) << form;
    EXPECT_THAT(plan.out + plan.err, Not(HasSubstr(secret))) << form;
  }
}

}  // namespace
}  // namespace e2e
