// Reads the names of the libraries a PE image has the loader bring in: its
// import table (loaded with the image) and its delay-import table (loaded
// when one of their functions is first called). A signed program is refused
// when one of them could come from anywhere but the system.
//
// Every value is read through a ReadAtFunction, never past the file's size,
// with bounded counts and name lengths and 64-bit offset sums, so no forged
// table can steer a read outside the file or hold the reader up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Signing/SignatureBlock.h"

namespace signing {

struct PeImports {
  bool image = false;                 // the bytes are a PE image (PeImage.h)
  std::vector<std::string> imported;  // the import table's names, in file order
  std::vector<std::string> delayed;   // the delay-import table's
};

// Reads both tables of a file of size bytes. False when a read fails or a
// table the headers name cannot be read whole: it lies outside the header
// area and every section's raw data, a name does not end within
// kLongestImportName bytes, it has more than kMostImportDescriptors entries,
// or a delay-import entry gives addresses instead of offsets (the form of
// old linkers, which this reader does not follow), and for bytes that start
// with a DOS header but are no PE image as PeImage.h reads one. Bytes without
// a DOS header give true with imports->image false and no names.
bool ReadPeImports(uint64_t size, const ReadAtFunction& read, PeImports* imports);

constexpr size_t kLongestImportName = 260;
constexpr size_t kMostImportDescriptors = 4096;

}  // namespace signing
