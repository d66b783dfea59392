#pragma once
// Inside the platform layer on POSIX systems: opening a serial device as the serial link does.

#include <termios.h>

#include <string>

// Opens `device` for the serial link: read and write, non-blocking, not as the controlling
// terminal, and locked against a second user (flock). `found` receives its terminal settings.
// The descriptor, or -1 with `err` set to the errno that tells why (EBUSY when another holds it).
int openSerialDevice(const std::string& device, termios& found, int& err);
