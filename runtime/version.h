#pragma once

#include <string>

// Prints the version block on standard error: the product version, the build
// stamp recorded when kiv was configured and the owner notice. When the
// environment variable CONFIGSPEC is exactly "PRINT" the recorded
// configuration follows. flags are reserved and must be 0.
void print_version(int flags);

// The text print_version writes.
std::string version_text(bool with_config);
