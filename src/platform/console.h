#pragma once
// The console a command-line program runs on, and its interruptions: what differs between a
// POSIX terminal (console_posix.cpp) and a Windows console (console_win32.cpp).

#include <cstddef>
#include <cstdio>
#include <string>

// Sets the process up for a console program: on POSIX a vanished peer or a closed output pipe
// becomes an error to report instead of SIGPIPE; on Windows the console takes the escape
// sequences of the progress line and the colours.
void prepareConsole();

// True when `stream` is a terminal (a console on Windows).
bool isTerminal(std::FILE* stream);

// The columns a line may use on the terminal `stream` without wrapping; 79 when unknown.
size_t terminalColumns(std::FILE* stream);

// Sets an environment variable of this process.
void setEnvironment(const std::string& name, const std::string& value);

// While one lives, the interruptions of the operator (Ctrl-C, Ctrl-\ and SIGTERM on POSIX;
// Ctrl-C, Ctrl-Break and the console's closing on Windows) are held: the first ones write a
// warning to standard error, the `forcePresses`th ends the program all the same. A hang-up (the
// terminal or the ssh session closed) is only noted. One at a time.
class TInterruptHold {
public:
    // `warnMore` is written after a press that leaves more than one to go, `warnLast` after the
    // one before the last; both must live as long as the hold.
    TInterruptHold(int forcePresses, const char* warnMore, const char* warnLast);
    ~TInterruptHold();
    TInterruptHold(const TInterruptHold&) = delete;
    TInterruptHold& operator=(const TInterruptHold&) = delete;

    // The terminal went away while the hold lived.
    static bool hungUp();
};
