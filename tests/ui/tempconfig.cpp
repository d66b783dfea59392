// The widget tests never touch the user's preference store: before anything opens it, a
// temporary folder stands in for the configuration folder.

#include <cstdlib>

#include "support/tempdir.h"

namespace {

struct TTempConfig {
    TTempConfig() { ::setenv("XDG_CONFIG_HOME", dir.path.c_str(), 1); }
    TTempDir dir;
} tempConfig;

}  // namespace
