// The measurements of one benchmark run: each adds one sample to its series
// per round.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_fixtures.h"

namespace bench {

// One measurement: run adds one sample to its series, or answers false.
struct Measurement {
  const char* name;
  std::function<bool(std::vector<double>*)> run;
};

class Bench {
 public:
  Bench(const Programs& programs, const Fixtures& fixtures) : p_(programs), f_(fixtures) {}

  std::vector<Measurement> Measurements();

  uint64_t program_size() const { return program_size_; }
  uint64_t built_size() const { return built_size_; }

 private:
  bool TaverlyPerItem(const std::string& product, int items, std::vector<double>* samples);
  bool BarePerItem(std::vector<std::string> args, int items, std::vector<double>* samples);
  bool RunPartsPerItem(std::vector<double>* samples);
  bool LoadModules(std::vector<double>* samples);
  bool BareCatalogue(std::vector<double>* samples);
  bool TaverlyStartup(std::vector<double>* samples);
  bool EmptyStartup(std::vector<double>* samples);
  bool SignatureRate(const std::string& program, uint64_t* size, std::vector<double>* samples);
  bool SignatureTime(const std::string& program, uint64_t* size, std::vector<double>* samples);
  bool ReportWrite(std::vector<double>* samples);
  bool CatalogueRss(std::vector<double>* samples);

  const Programs& p_;
  const Fixtures& f_;
  uint64_t program_size_ = 0;
  uint64_t built_size_ = 0;
};

}  // namespace bench
