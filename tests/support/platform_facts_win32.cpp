#include "tests/support/platform_facts.h"

namespace platform_facts {

const uint32_t kMissingFolderError = 3;    // ERROR_PATH_NOT_FOUND
const uint32_t kNotAProgramError = 1155;   // ERROR_NO_ASSOCIATION
const size_t kLongestStartablePath = 259;  // MAX_PATH counts the terminating NUL

const bool kCapturesDocumentOutput = false;  // only programs and command scripts
}  // namespace platform_facts
