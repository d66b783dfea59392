#pragma once
// The version the running program's file carries: on Windows the FileVersion of its version
// resource (StringFileInfo block "100904e4"), as Windows' file properties show it.

#include <string>

// Empty where the program file carries none (on POSIX systems, or a build without the resource).
std::string programFileVersion();
