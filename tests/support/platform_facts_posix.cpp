#include "tests/support/platform_facts.h"

namespace platform_facts {

const uint32_t kMissingFolderError = 2;    // ENOENT
const uint32_t kNotAProgramError = 13;     // EACCES
const size_t kLongestStartablePath = 260;  // the program's own limit; the kernel takes more

const bool kCapturesDocumentOutput = true;  // any file a program runs from
}  // namespace platform_facts
