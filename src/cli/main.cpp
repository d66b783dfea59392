// veltrace-cli: the tool's main jobs on a terminal or in scripts.

#include <signal.h>
#include <unistd.h>

#include <iostream>

#include "cli/runner.h"

int main(int argc, char** argv) {
    // A vanished peer or a closed output pipe is an error to report, not a reason to die.
    ::signal(SIGPIPE, SIG_IGN);
    // Standard output carries results only: lines the links write to the console (the serial
    // link's "Cannot open port") are messages and go to standard error.
    std::cout.rdbuf(std::cerr.rdbuf());
    TCliStreams streams;
    streams.inIsTerminal = ::isatty(STDIN_FILENO) == 1;
    streams.errIsTerminal = ::isatty(STDERR_FILENO) == 1;
    return runCli(std::vector<std::string>(argv + 1, argv + argc), streams);
}
