// What the benchmark prints of its series: the table of figures against their
// references and goals, and the series' spread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

// The samples of every measurement, by its name.
using Series = std::map<std::string, std::vector<double>>;

// The median of values; 0 when there are none.
double Median(std::vector<double> values);

// Median, minimum and maximum of every series.
void PrintSeries(const Series& series);

// The table of every figure (it needs every measurement's series), then the
// series. program_size and built_size: the bytes the two signature checks hashed.
void PrintTable(const Series& series, uint64_t program_size, uint64_t built_size);

}  // namespace bench
