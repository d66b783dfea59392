#include "platform/serialidentity.h"

// Windows names a COM port and nothing more here: its adapter is not looked up, and no other
// program can be seen holding it (the open is refused instead). The identity is the port alone.

TSerialIdentity serialIdentity(const std::string& device, const TSerialRoots&) {
    TSerialIdentity id;
    id.node = device;
    return id;
}

std::vector<TSerialHolder> serialDeviceHolders(const std::string&, const TSerialRoots&) { return {}; }

bool modemManagerRunning(const TSerialRoots&) { return false; }

std::string modemManagerNote(const TSerialIdentity&, const TSerialRoots&) { return {}; }
