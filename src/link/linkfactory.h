#pragma once
// The links the product uses: a serial link for TLinkKind::Serial, a network link otherwise.

#include "link/communicator.h"

TLinkFactory realLinkFactory();
