#pragma once
// What veltrace checks on its command line and environment before Qt starts: an argument that
// is neither its own nor one of Qt's, and a desktop that Qt could not open (Qt would end the
// program with an abort and a hint to reinstall it).

#include <string>

// The first argument that is not --help, --version or one of Qt's own options (with its value);
// empty when there is none.
std::string unknownArgument(int argc, char** argv);

// Why no window can be shown: the platform Qt would use (-platform, else QT_QPA_PLATFORM, else
// the desktop's) needs a display, and neither DISPLAY nor WAYLAND_DISPLAY (nor -display) names
// one. Empty when Qt can start.
std::string missingDisplay(int argc, char** argv);
