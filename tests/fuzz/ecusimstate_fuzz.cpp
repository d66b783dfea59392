// The simulator's settings and state files (--settings of make-firmware, --state).

#include "fuzzsupport.h"
#include "identity.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const ecusim::TFirmwareIdentity id = ecusim::parseState(text, "state");
        check(id.slots.size() <= ecusim::maxSlots, "at most 256 slots");
        check(ecusim::parseState(ecusim::formatState(id), "again") == id, "a state reads back the same");
    } catch (const ecusim::ESimFileError&) {
    }
    try {
        check(ecusim::parseSettings(text, "settings").size() <= ecusim::maxSlots, "at most 256 slots");
    } catch (const ecusim::ESimFileError&) {
    }
    return 0;
}
