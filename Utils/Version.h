// The program's version, as the project states it in one place.
#pragma once

// Returns the version as text, "major.minor.patch".
const char* TaverlyVersion();
