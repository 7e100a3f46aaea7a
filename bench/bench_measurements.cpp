#include "bench/bench_measurements.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "bench/bench_catalogue.h"
#include "bench/bench_runs.h"

namespace fs = std::filesystem;

namespace bench {

std::vector<Measurement> Bench::Measurements() {
  return {
      {"exe200_taverly", [this](auto* s) { return TaverlyPerItem(f_.exe_small, kExeSmall, s); }},
      {"exe200_bare",
       [this](auto* s) {
         return BarePerItem({"spawn", f_.exe_small_list}, kExeSmall, s);
       }},
      {"exe200_run_parts", [this](auto* s) { return RunPartsPerItem(s); }},
      {"report_write", [this](auto* s) { return ReportWrite(s); }},
      {"exe200_supervised",
       [this](auto* s) { return TaverlyPerItem(f_.exe_supervised, kExeSmall, s); }},
      {"exe32_spaced", [this](auto* s) { return TaverlyPerItem(f_.exe_spaced, kExeSpaced, s); }},
      {"exe32_spaced_supervised",
       [this](auto* s) { return TaverlyPerItem(f_.exe_spaced_supervised, kExeSpaced, s); }},
      {"exe1000_taverly", [this](auto* s) { return TaverlyPerItem(f_.exe_large, kExeLarge, s); }},
      {"exe1000_bare",
       [this](auto* s) {
         return BarePerItem({"spawn", f_.exe_large_list}, kExeLarge, s);
       }},
      {"dll200_taverly", [this](auto* s) { return TaverlyPerItem(f_.dll, kLibraries, s); }},
      {"dll200_bare",
       [this](auto* s) {
         return BarePerItem({"dlopen", f_.dll_list, kEntry}, kLibraries, s);
       }},
      {"catalogue_load", [this](auto* s) { return LoadModules(s); }},
      {"catalogue_bare", [this](auto* s) { return BareCatalogue(s); }},
      {"startup_taverly", [this](auto* s) { return TaverlyStartup(s); }},
      {"startup_empty", [this](auto* s) { return EmptyStartup(s); }},
      {"signature_mbps", [this](auto* s) { return SignatureRate(p_.taverly, &program_size_, s); }},
      {"signature_built_ms", [this](auto* s) { return SignatureTime(p_.built, &built_size_, s); }},
      {"signature_ms", [this](auto* s) { return SignatureTime(p_.taverly, &program_size_, s); }},
      {"memory_rss", [this](auto* s) { return CatalogueRss(s); }},
      {"fixed_taverly", [this](auto* s) { return TaverlyPerItem(f_.noop, 1, s); }},
      {"fixed_bare",
       [this](auto* s) {
         return BarePerItem({"spawn", f_.empty_list}, 1, s);
       }},
  };
}

bool Bench::TaverlyPerItem(const std::string& product, int items, std::vector<double>* samples) {
  ProcessRun run;
  if (!RunTaverlyOn(p_.taverly, product, f_.tmp, &run)) return false;
  samples->push_back(run.elapsed_ns / 1e3 / items);
  return true;
}

bool Bench::BarePerItem(std::vector<std::string> args, int items, std::vector<double>* samples) {
  args.insert(args.begin(), p_.bare);
  ProcessRun run;
  if (!RunProcess(args, "", &run) || run.exit_code != 0) {
    std::printf("bare loop %s failed\n", args[1].c_str());
    return false;
  }
  samples->push_back(run.elapsed_ns / 1e3 / items);
  return true;
}

bool Bench::RunPartsPerItem(std::vector<double>* samples) {
  ProcessRun run;
  if (!RunProcess({p_.run_parts, f_.run_parts_folder}, "", &run) || run.exit_code != 0) {
    std::printf("run-parts failed\n");
    return false;
  }
  samples->push_back(run.elapsed_ns / 1e3 / kExeSmall);
  return true;
}

bool Bench::LoadModules(std::vector<double>* samples) {
  int64_t ns = 0;
  if (!TimeLoadModules(f_.catalogue, kCatalogueFiles * kItemsPerFile, &ns)) {
    std::printf("LoadModules failed on %s\n", f_.catalogue.c_str());
    return false;
  }
  samples->push_back(ns / 1e6);
  return true;
}

bool Bench::BareCatalogue(std::vector<double>* samples) {
  int64_t ns = 0;
  if (!TimeBareCatalogue(f_.catalogue, kCatalogueFiles, &ns)) {
    std::printf("the bare catalogue loop failed on %s\n", f_.catalogue.c_str());
    return false;
  }
  samples->push_back(ns / 1e6);
  return true;
}

bool Bench::TaverlyStartup(std::vector<double>* samples) {
  fs::remove(f_.startup_stamp);
  ProcessRun run;
  if (!RunTaverlyOn(p_.taverly, f_.startup, f_.tmp, &run)) return false;
  const long long stamp = std::atoll(ReadFile(f_.startup_stamp).c_str());
  if (stamp <= run.start_ns) {
    std::printf("the first item left no time stamp in %s\n", f_.startup_stamp.c_str());
    return false;
  }
  samples->push_back((stamp - run.start_ns) / 1e6);
  return true;
}

bool Bench::EmptyStartup(std::vector<double>* samples) {
  ProcessRun run;
  if (!RunProcess({p_.empty}, f_.tmp, &run) || run.exit_code != 0) return false;
  samples->push_back(run.elapsed_ns / 1e6);
  return true;
}

bool Bench::SignatureRate(const std::string& program, uint64_t* size,
                          std::vector<double>* samples) {
  int64_t ns = 0;
  if (!TimeSignatureCheck(program, size, &ns)) {
    std::printf("%s does not pass its own signature check\n", program.c_str());
    return false;
  }
  samples->push_back(*size / 1e6 / (ns / 1e9));
  return true;
}

bool Bench::SignatureTime(const std::string& program, uint64_t* size,
                          std::vector<double>* samples) {
  int64_t ns = 0;
  if (!TimeSignatureCheck(program, size, &ns)) {
    std::printf("%s does not pass its own signature check\n", program.c_str());
    return false;
  }
  samples->push_back(ns / 1e6);
  return true;
}

bool Bench::ReportWrite(std::vector<double>* samples) {
  int64_t ns = 0;
  if (!TimeProgressReport(f_.log_tmp, kExeSmall, &ns)) {
    std::printf("the run report cannot be written in %s\n", f_.log_tmp.c_str());
    return false;
  }
  samples->push_back(ns / 1e3);
  return true;
}

bool Bench::CatalogueRss(std::vector<double>* samples) {
  ProcessRun run;
  if (!RunTaverlyOn(p_.taverly, f_.catalogue, f_.tmp, &run)) return false;
  samples->push_back(run.max_rss_kib / 1024.0);
  return true;
}

}  // namespace bench
