// The example product's own library: two entry functions as a real product
// module would export them. Each leaves a line in the product's activity log.
#include <cstdint>
#include <cstdio>

#include "taverly/item_library.h"

namespace {

void Note(const char* text) {
  if (FILE* file = std::fopen("demo-activity.log", "ab")) {
    std::fprintf(file, "%s\n", text);
    std::fclose(file);
  }
}

}  // namespace

extern "C" {

// Registers the product's components; an item with an exitcode passes only
// with TAVERLY_ENTRY_SUCCESS (-1).
TAVERLY_EXPORT int32_t RegisterComponents() {
  Note("demo_plugin: components registered");
  return TAVERLY_ENTRY_SUCCESS;
}

TAVERLY_EXPORT int32_t ReportInstalled() {
  Note("demo_plugin: installation reported");
  return 0;
}
}
