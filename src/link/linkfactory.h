#pragma once
// The links the product uses: a serial link for TLinkKind::Serial, a network link otherwise.

#include <string>

#include "link/communicator.h"

TLinkFactory realLinkFactory();

// Why a link did not open, where its layer can tell (the serial port layer keeps the reason,
// such as a permission problem and the dialout group; the network link the connect's error);
// empty otherwise. `address` is the link as the messages name it (HOST:PORT on the network).
std::string linkOpenFailure(TCommunicator& link, const std::string& address);
