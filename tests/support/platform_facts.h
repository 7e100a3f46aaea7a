// States what the operating system itself answers where the two platforms
// differ, so that shared tests can assert exact values on both.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform_facts {

// The system error of writing a file into a folder that does not exist.
extern const uint32_t kMissingFolderError;
// The system error of starting a file that is no program: a file without
// execute rights, or of a type without an "open" action.
extern const uint32_t kNotAProgramError;
// The longest full path the platform can start a program from.
extern const size_t kLongestStartablePath;
// Whether the output of a document (a file that is no program) can be
// captured: everywhere on POSIX, where it runs as a program or not at all.
extern const bool kCapturesDocumentOutput;

}  // namespace platform_facts
