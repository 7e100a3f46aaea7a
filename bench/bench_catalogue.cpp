#include "bench/bench_catalogue.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <rapidjson/document.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <rapidxml/rapidxml.hpp>
#include <vector>

#include "App/FilterLoadModule.h"
#include "App/app.h"
#include "App/main.h"
#include "CallPlugins/RunContext.h"
#include "CallPlugins/RunReport.h"
#include "LoadXml/LoadModXml.h"
#include "Platform/files/files.h"
#include "Signing/SignatureBlock.h"
#include "Utils/PathUtils.h"
#include "bench/bench_runs.h"

namespace bench {
namespace {

// Reads a whole file with one fstat and as few reads as it takes.
bool ReadWhole(const std::string& path, std::string* text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (ok) {
    text->resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (ok && done < text->size()) {
      ssize_t n = read(fd, &(*text)[done], text->size() - done);
      ok = n > 0;
      if (ok) done += static_cast<size_t>(n);
    }
  }
  close(fd);
  return ok;
}

std::vector<std::string> ModuleFileNames(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (struct dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() > 8 && name.compare(0, 4, "mod_") == 0 &&
        name.compare(name.size() - 4, 4, ".xml") == 0) {
      names.push_back(name);
    }
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

bool TimeProgressReport(const std::string& folder, size_t items, int64_t* ns) {
  RunContext run;
  run.SetInstallPath(folder);
  RunRecord& record = run.record;
  record.started_ms = NowMs();
  ModuleEntry module;
  module.record.path = AnsiToWide(folder + "/modularize/mod_bench.xml");
  module.record.outcome = ModuleFileRecord::kLoaded;
  record.modules.push_back(module);
  PhaseReport phase;
  phase.name = "after_setup";
  phase.reached = true;
  for (size_t i = 0; i < items; ++i) {
    ItemReport item;
    item.key = std::to_string(i + 1);
    item.kind = ItemKind::kExe;
    item.type = "Exe";
    item.file = "bin/p" + std::to_string(i);
    item.module = 0;
    item.status = i < items / 2 ? ItemStatus::kSucceeded : ItemStatus::kNotReached;
    item.has_exit_code = i < items / 2;
    phase.items.push_back(item);
  }
  record.phases.push_back(phase);
  const std::wstring path = AnsiToWide(folder + "/TaverlyRunReport.json");
  uint32_t error = 0;
  const int64_t start = NowNs();
  const bool written = platform::ReplaceFileContent(path, RunReportJson(run), false, &error);
  *ns = NowNs() - start;
  return written;
}

void StartProgramLog(const std::string& tmpdir) {
  setenv("TMPDIR", tmpdir.c_str(), 1);
  App(RemoveOutdatedResultFile).InitLog();
}

bool TimeLoadModules(const std::string& product, size_t expected_items, int64_t* ns) {
  bool loaded = false;
  size_t items = 0;
  {
    InstallErrorRecord errors;
    auto filter = std::make_shared<LoadModFilter>(product);
    ModXmlLoader loader(AnsiToWide(product), filter, &errors);
    filter.reset();
    const int64_t start = NowNs();
    loaded = loader.LoadModules();
    *ns = NowNs() - start;
    items = loader.GetAfterSetupItems().size() + loader.GetOpenSelfProtectItems().size() +
            loader.GetAfterSelfProtectItems().size();
  }
  // A run loads its catalogue once, into a fresh heap. Hand back what this
  // loader freed now, or the next round's first large allocation pays for
  // merging 10 000 freed bundles.
  malloc_trim(0);
  return loaded && items == expected_items;
}

bool TimeBareCatalogue(const std::string& product, size_t expected_files, int64_t* ns) {
  const std::string folder = product + "/modularize";
  const std::string config = folder + "/module_config.dat";
  size_t parsed = 0;
  const int64_t start = NowNs();
  for (const std::string& name : ModuleFileNames(folder)) {
    std::string xml;
    if (!ReadWhole(folder + "/" + name, &xml)) return false;
    std::vector<char> text(xml.c_str(), xml.c_str() + std::strlen(xml.c_str()) + 1);
    rapidxml::xml_document<char> document;
    document.parse<0>(text.data());
    if (document.first_node("root") == nullptr) return false;

    std::string json;
    if (!ReadWhole(config, &json)) return false;
    rapidjson::Document modules;
    modules.Parse(json.c_str());
    if (modules.HasParseError()) return false;
    ++parsed;
  }
  *ns = NowNs() - start;
  return parsed == expected_files;
}

bool TimeSignatureCheck(const std::string& file, uint64_t* size, int64_t* ns) {
  platform::ReadOnlyFile program;
  if (!program.Open(AnsiToWide(file)) || !program.Size(size)) return false;
  const auto read = [&program](uint64_t offset, void* buffer, size_t count) {
    return program.ReadAt(offset, buffer, count);
  };
  signing::Verdict verdict = signing::kNotSigned;
  const int64_t start = NowNs();
  const bool judged = signing::JudgeFile(*size, read, signing::BuiltInPublicKeys(), &verdict);
  *ns = NowNs() - start;
  return judged && verdict == signing::kValidKey1;
}

}  // namespace bench
