#pragma once
// A wake-up call from any thread to an event loop that watches one system handle: `wake` makes
// the handle ready (readable, signalled) and it stays so until `clear`. On POSIX systems the
// handle is the read end of a pipe (a file descriptor); on Windows, a manual-reset event.
// Writing and reading the pipe also orders the memory of the two threads, as a lock would.

#include <cstdint>

class TWakeSignal {
public:
    TWakeSignal();  // throws std::system_error when the system has none to give
    ~TWakeSignal();
    TWakeSignal(const TWakeSignal&) = delete;
    TWakeSignal& operator=(const TWakeSignal&) = delete;

    // The descriptor (POSIX) or HANDLE (Windows) to watch.
    intptr_t handle() const;
    void wake();
    void clear();

private:
    intptr_t handles[2] = {-1, -1};
};
