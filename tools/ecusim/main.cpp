// veltrace-ecusim: a simulated ECU on the other end of a real link (TCP or a pseudo-terminal),
// for trying the tool without an engine and for the end-to-end tests.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "firmware.h"
#include "identity.h"
#include "machine.h"
#include "options.h"
#include "platform/console.h"
#include "server.h"
#include "transcript.h"
#include "transport.h"

using namespace ecusim;

namespace {

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

int makeFirmware(const std::vector<std::string>& args) {
    const TMakeFirmwareOptions o = parseMakeFirmwareOptions(args);
    if (o.help) {
        std::fputs(helpText().c_str(), stdout);
        return 0;
    }
    TFirmwareIdentity identity;
    identity.version = *o.version;
    identity.slots = o.settingsPath.empty() ? defaultIdentity().slots
                                            : parseSettings(readTextFile(o.settingsPath), o.settingsPath);
    const auto image = buildImage(identity, o.size < 0 ? defaultImageSize : static_cast<size_t>(o.size), o.descriptor);
    writeTextFileAtomic(o.outPath, toIntelHex(image));
    std::printf("%s: firmware %s, %zu settings, %zu bytes%s\n", o.outPath.c_str(), identity.version.c_str(),
                identity.slots.size(), image.size(), o.descriptor ? "" : ", no descriptor");
    return 0;
}

int simulate(const std::vector<std::string>& args) {
    const TSimOptions o = parseSimOptions(args);
    if (o.help) {
        std::fputs(helpText().c_str(), stdout);
        return 0;
    }
    const auto start = std::chrono::steady_clock::now();

    TFirmwareIdentity firmware = defaultIdentity();
    if (!o.statePath.empty()) {
        std::error_code ec;
        if (std::filesystem::exists(o.statePath, ec)) firmware = parseState(readTextFile(o.statePath), o.statePath);
    }
    if (o.version) firmware.version = *o.version;

    TTranscript log;
    if (!o.logPath.empty()) log.open(o.logPath);

    TStopLine stop;

    TEcuMachine* machinePtr = nullptr;
    auto persist = [&](const TFirmwareIdentity& stored) {
        if (o.statePath.empty()) return;
        try {
            writeTextFileAtomic(o.statePath, formatState(stored));
        } catch (const ESimFileError& e) {
            std::fprintf(stderr, "veltrace-ecusim: state not written: %s\n", e.what());
            if (machinePtr) log.event(msSince(start), machinePtr->modeText(), std::string("state not written: ") + e.what());
        }
    };
    TEcuMachine machine(o.machine, firmware, log, persist);
    machinePtr = &machine;
    std::fprintf(stderr, "veltrace-ecusim: firmware %s with %zu settings%s\n", firmware.version.c_str(),
                 firmware.slots.size(), o.machine.bootloaderOnly ? " (bootloader only until flashed)" : "");

    TServer server(o, machine, log, stop.fd(), start);
    if (o.pty) server.servePty();
    else server.serveTcp();
    std::fprintf(stderr, "veltrace-ecusim: stopped\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The same bytes on standard output as on Linux (no CR before each LF on Windows).
    prepareConsole();
    std::vector<std::string> args(argv + 1, argv + argc);
    // --version with a value sets the firmware's version; alone it asks for the program's.
    if (args == std::vector<std::string>{"--version"}) {
        std::printf("veltrace-ecusim %s\n", VELTRACE_VERSION);
        return std::fflush(stdout) == 0 ? 0 : exitFailure;
    }
    try {
        if (!args.empty() && args[0] == "make-firmware") return makeFirmware({args.begin() + 1, args.end()});
        if (!args.empty() && args[0] == "default-settings") {
            std::fputs(formatSettings(defaultIdentity().slots).c_str(), stdout);
            return 0;
        }
        return simulate(args);
    } catch (const EUsage& e) {
        std::fprintf(stderr, "veltrace-ecusim: %s\nTry 'veltrace-ecusim --help'.\n", e.what());
        return exitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "veltrace-ecusim: %s\n", e.what());
        return exitFailure;
    }
}
