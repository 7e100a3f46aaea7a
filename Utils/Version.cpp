#include "Utils/Version.h"

#include "Utils/version_text.h"

const char* TaverlyVersion() { return TAVERLY_VERSION_TEXT; }
