// The simulated ECU's command parser: command mode, outside it and the bootloader, fed in
// chunks with time passing between them. The first byte picks the fault switches.

#include "fuzzsupport.h"
#include "identity.h"
#include "machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    ecusim::TMachineConfig config;
    config.bootloaderOnly = data[0] & 1;
    config.noSync = data[0] & 2;
    config.noBye = data[0] & 4;
    config.eraseMs = data[0] & 8 ? 3 : 0;
    if (data[0] & 16) config.refusals.push_back({1, 2});
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    ecusim::TTranscript log;
    ecusim::TEcuMachine machine(config, ecusim::defaultIdentity(), log, [](const ecusim::TFirmwareIdentity& id) {
        check(ecusim::parseState(ecusim::formatState(id), "state") == id, "a stored state reads back the same");
    });
    int64_t now = 0;
    constexpr size_t chunk = 61;
    for (size_t at = 0; at < bytes.size(); now += 1) {
        const size_t taken = machine.receive(bytes.substr(at, chunk), now);
        check(taken >= 1, "every byte offered is taken in the end");
        at += taken;
        machine.takeDue(now);
    }
    return 0;
}
