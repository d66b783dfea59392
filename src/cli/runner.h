#pragma once
// veltrace-cli's commands on the same TECU, links and files as the app.

#include <cstdio>
#include <string>
#include <vector>

// The process's streams, and whether they are terminals.
struct TCliStreams {
    std::FILE* in = stdin;
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool inIsTerminal = false;
    bool errIsTerminal = false;
};

// Runs one command line (the arguments after the program name); returns the exit status.
int runCli(const std::vector<std::string>& args, const TCliStreams& streams);
