// The widget tests never touch the user's preference store or settings backups: before anything
// opens them, temporary folders stand in for the configuration and data folders.

#include <cstdlib>

#include "support/tempdir.h"

namespace {

struct TTempConfig {
    TTempConfig() {
        ::setenv("XDG_CONFIG_HOME", config.path.c_str(), 1);
        ::setenv("XDG_DATA_HOME", data.path.c_str(), 1);
    }
    TTempDir config;
    TTempDir data;
} tempConfig;

}  // namespace
