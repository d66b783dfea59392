#pragma once
// Whole files in and out, with the errno of a failure for the caller's own message.

#include <string>

// Reads the whole file into `text`. Returns 0, or the errno of the failure.
int readWholeFile(const std::string& path, std::string& text);
