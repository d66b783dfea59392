#pragma once
// SIGINT and SIGTERM turned into bytes on a pipe, so that an event loop can watch for them and
// act outside the signal handler (POSIX systems; the Windows build has no app).

// Installs the handlers (once per call; the newest pipe takes the signals) and returns the
// pipe's read end, non-blocking; -1 when no pipe could be made (the signals keep their default).
int watchStopSignals();
// Reads away what the pipe holds.
void drainStopSignals(int fd);
