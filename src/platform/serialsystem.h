#pragma once
// Inside the platform layer: what each system's serial code gives the shared serial port list.

#include <string>
#include <vector>

#include "platform/serialports.h"

// The machine's own serial ports, when VELTRACE_SERIAL_PORTS does not name them: on Linux
// /dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS* (serialDevicesIn), on Windows COM1..COM8.
std::vector<std::string> machineSerialPorts();

// checkSerialPort for entry `number` of `list`.
TSerialPortStatus checkListedPort(int number, const std::vector<std::string>& list, TPortCheck how,
                                  const TSerialRoots& roots);
