#include "platform/stopsignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

int writeEnd = -1;

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(writeEnd, &byte, 1);
}

}  // namespace

int watchStopSignals() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
    writeEnd = fds[1];
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return fds[0];
}

void drainStopSignals(int fd) {
    char bytes[16];
    while (::read(fd, bytes, sizeof bytes) > 0) {
    }
}
