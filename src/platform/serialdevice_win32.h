#pragma once
// Inside the platform layer on Windows: opening a COM port as the serial link does.

#include <windows.h>

#include <string>

// The name CreateFile takes for a port of the serial port list: "COM5" and "com5" become
// "\\.\COM5" (the only form that reaches COM10 and above); a name that has the prefix already,
// or any other path, stays as it is.
std::string win32DeviceName(const std::string& device);

// Opens the port for reading and writing, exclusively (a second opener gets
// ERROR_ACCESS_DENIED). The handle, or INVALID_HANDLE_VALUE with `err` set to GetLastError.
HANDLE openSerialDevice(const std::string& device, DWORD& err);
