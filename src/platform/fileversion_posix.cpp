#include "platform/fileversion.h"

// A POSIX program file carries no version resource: the program's own version string is the
// only one.
std::string programFileVersion() { return {}; }
