#include "platform/wakesignal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

TWakeSignal::TWakeSignal() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "Cannot create a wake-up pipe");
    handles[0] = fds[0];
    handles[1] = fds[1];
}

TWakeSignal::~TWakeSignal() {
    ::close(static_cast<int>(handles[0]));
    ::close(static_cast<int>(handles[1]));
}

intptr_t TWakeSignal::handle() const { return handles[0]; }

void TWakeSignal::wake() {
    const char byte = 1;
    while (::write(static_cast<int>(handles[1]), &byte, 1) < 0 && errno == EINTR) {
    }
}

void TWakeSignal::clear() {
    char bytes[16];
    while (::read(static_cast<int>(handles[0]), bytes, sizeof bytes) > 0) {
    }
}
