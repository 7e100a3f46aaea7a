#include "bench/bench_fixtures.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_runs.h"

namespace fs = std::filesystem;

namespace bench {
namespace {

std::string Numbered(const char* format, int number) {
  char text[64];
  std::snprintf(text, sizeof text, format, number);
  return text;
}

// count hard links of the item program in folder, named by format; returns their paths.
std::vector<std::string> LinkPrograms(const std::string& source, const std::string& folder,
                                      const char* format, int count) {
  fs::create_directories(folder);
  std::vector<std::string> paths;
  for (int i = 0; i < count; ++i) {
    paths.push_back(folder + "/" + Numbered(format, i));
    fs::create_hard_link(source, paths.back());
  }
  return paths;
}

std::string ExeItem(const std::string& file, const std::string& param,
                    const std::string& extra = "") {
  std::string item = "<item type=\"Exe\" file=\"" + file + "\"";
  if (!param.empty()) item += " param=\"" + param + "\"";
  return item + " wait_for_exit=\"1\" exitcode=\"0\"" + extra + "/>";
}

// extra: further attributes of every item.
void WriteExeProduct(const std::string& folder, const std::string& item_program, int count,
                     const std::string& list, const std::string& extra = "",
                     const std::string& param = "") {
  const std::vector<std::string> programs =
      LinkPrograms(item_program, folder + "/bin", "p%04d", count);
  std::vector<std::string> items;
  for (int i = 0; i < count; ++i) {
    items.push_back(ExeItem("bin/" + Numbered("p%04d", i), param, extra));
  }
  WriteSingleModuleProduct(folder, "bench", items);
  WriteList(list, programs);
}

// The Exe products, and the folder run-parts walks.
void SetUpExe(const std::string& item, Fixtures* f) {
  const std::string& scratch = f->scratch;
  f->exe_small = scratch + "/exe200";
  f->exe_small_list = scratch + "/exe200.list";
  WriteExeProduct(f->exe_small, item, kExeSmall, f->exe_small_list);
  f->exe_large = scratch + "/exe1000";
  f->exe_large_list = scratch + "/exe1000.list";
  WriteExeProduct(f->exe_large, item, kExeLarge, f->exe_large_list);
  // The same items, each with a time limit and its output in the log.
  f->exe_supervised = scratch + "/exe200-supervised";
  WriteExeProduct(f->exe_supervised,
                  item,
                  kExeSmall,
                  scratch + "/exe200-supervised.list",
                  " timeout=\"600\" log_output=\"1\"");
  // Items of 50 ms each, without and with a time limit and output.
  f->exe_spaced = scratch + "/exe-spaced";
  WriteExeProduct(f->exe_spaced, item, kExeSpaced, scratch + "/exe-spaced.list", "", "--pause");
  f->exe_spaced_supervised = scratch + "/exe-spaced-supervised";
  WriteExeProduct(f->exe_spaced_supervised,
                  item,
                  kExeSpaced,
                  scratch + "/exe-spaced-supervised.list",
                  " timeout=\"600\" log_output=\"1\"",
                  "--pause");
  f->run_parts_folder = scratch + "/run-parts";
  LinkPrograms(item, f->run_parts_folder, "p%04d", kExeSmall);
}

void SetUpLibraries(const Programs& programs, Fixtures* f) {
  // Copies, not links: the loader takes a second link to a file for the same library.
  f->dll = f->scratch + "/dll200";
  f->dll_list = f->scratch + "/dll200.list";
  fs::create_directories(f->dll + "/lib");
  std::vector<std::string> libraries, items;
  for (int i = 0; i < kLibraries; ++i) {
    const std::string name = "lib/" + Numbered("libentry%03d.so", i);
    fs::copy_file(programs.entry_library, f->dll + "/" + name);
    libraries.push_back(f->dll + "/" + name);
    items.push_back("<item type=\"SimpleDll\" file=\"" + name + "\" entry=\"" + kEntry +
                    "\" exitcode=\"0\"/>");
  }
  WriteSingleModuleProduct(f->dll, "bench", items);
  WriteList(f->dll_list, libraries);
}

void SetUpCatalogue(Fixtures* f) {
  // Items of every attribute, refused by the system gate under root: the whole
  // catalogue is read, held and walked without starting 10 000 programs.
  f->catalogue = f->scratch + "/catalogue";
  WriteCatalogueProduct(f->catalogue,
                        kCatalogueFiles,
                        kItemsPerFile,
                        "<item type=\"Exe\" file=\"bin/tool\" "
                        "param=\"--config &quot;%productpath%/etc/tool.conf&quot; --quiet\" "
                        "wait_for_exit=\"1\" exitcode=\"0;3010\" system=\"0\"/>");
}

// The product whose first item stamps the time, and one with nothing to start.
void SetUpStartup(const std::string& item, Fixtures* f) {
  f->startup = f->scratch + "/startup";
  f->startup_stamp = f->scratch + "/startup.stamp";
  LinkPrograms(item, f->startup + "/bin", "p%04d", 3);
  WriteSingleModuleProduct(
      f->startup,
      "bench",
      {ExeItem("bin/p0000", f->startup_stamp), ExeItem("bin/p0001", ""), ExeItem("bin/p0002", "")});
  // A whole run with nothing to start: items of a type the runner skips.
  f->noop = f->scratch + "/noop";
  const std::string skipped = "<item type=\"None\" file=\"bin/none\"/>";
  WriteSingleModuleProduct(f->noop, "bench", {skipped, skipped, skipped});
  f->empty_list = f->scratch + "/empty.list";
  WriteList(f->empty_list, {});
}

}  // namespace

Fixtures SetUp(const Programs& programs, const std::string& scratch) {
  Fixtures f;
  f.scratch = scratch;
  f.tmp = scratch + "/tmp";
  f.log_tmp = scratch + "/tmp-bench";
  fs::create_directories(f.tmp);
  fs::create_directories(f.log_tmp);
  const std::string item = scratch + "/item";
  fs::copy_file(programs.item, item);
  SetUpExe(item, &f);
  SetUpLibraries(programs, &f);
  SetUpCatalogue(&f);
  SetUpStartup(item, &f);
  return f;
}

}  // namespace bench
