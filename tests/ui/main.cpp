// The widget tests run in one QApplication, on Qt's offscreen platform unless the environment
// names another one (a real display under Xvfb, say). The preference store is a temporary
// folder's, never the user's.

#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>

#include "support/tempdir.h"

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    TTempDir config;
    ::setenv("XDG_CONFIG_HOME", config.path.c_str(), 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
