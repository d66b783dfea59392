#pragma once
// The link as the messages name it.

#include <string>

#include "link/communicator.h"

// A serial link: "serial port 2 (/dev/ttyUSB0) at 9600 bit/s" (the device from the serial
// port list, left out when the list has none for the number), or "DEVICE at 9600 bit/s" when
// the operator named the device itself (`device`). A network link: "HOST:PORT", "[HOST]:PORT"
// for an IPv6 address, the host the link connects to when none is stored.
std::string linkDisplayName(TCommunicator& link, const std::string& device = {});
