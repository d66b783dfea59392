// veltrace-cli: the tool's main jobs on a terminal or in scripts.

#include <iostream>

#include "cli/runner.h"
#include "platform/console.h"

int main(int argc, char** argv) {
    // A vanished peer or a closed output pipe is an error to report, not a reason to die.
    prepareConsole();
    // Standard output carries results only: lines the links write to the console (the serial
    // link's "Cannot open port") are messages and go to standard error.
    std::cout.rdbuf(std::cerr.rdbuf());
    TCliStreams streams;
    streams.inIsTerminal = isTerminal(stdin);
    streams.errIsTerminal = isTerminal(stderr);
    return runCli(std::vector<std::string>(argv + 1, argv + argc), streams);
}
