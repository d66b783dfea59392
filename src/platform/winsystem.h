#pragma once
// What the Windows files of the platform layer (and the simulator's) share.

#include <string>

// Winsock, started once for the process on first use and left running until it exits.
void startWinsock();
// The system's own words for an error code, without the closing full stop and line end.
std::string systemText(unsigned long code);
