#pragma once
// The simulator's command line.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "machine.h"

namespace ecusim {

// A command line that makes no sense; the message says why.
class EUsage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* defaultListen = "127.0.0.1:32000";

struct TSimOptions {
    bool help = false;
    std::string listen = defaultListen;
    bool listenGiven = false;
    bool pty = false;
    std::string ptyLink;
    bool pace = false;  // bytes take their time on the line
    std::string logPath;
    std::string statePath;
    std::optional<std::string> version;
    long silentAfter = -1;  // bytes of one connection; -1: never
    long dropAfter = -1;
    bool noise = false;     // every byte received is answered with noise, none taken in
    std::string framing = "8N1";  // the ECU's UART framing (pty): bytes cross only when the tool's matches
    TMachineConfig machine;
};

struct TMakeFirmwareOptions {
    bool help = false;
    std::optional<std::string> version;
    std::string settingsPath;  // empty: the default table
    std::string outPath;
    long size = -1;            // -1: the default image size
    bool descriptor = true;
};

// `args` are the arguments after the program name. Throws EUsage.
TSimOptions parseSimOptions(const std::vector<std::string>& args);
TMakeFirmwareOptions parseMakeFirmwareOptions(const std::vector<std::string>& args);

std::string helpText();

}  // namespace ecusim
