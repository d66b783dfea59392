#include "wire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

speed_t speedFor(int rate) {
    switch (rate) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 4800: return B4800;
    default: throw std::runtime_error("no termios speed for " + std::to_string(rate));
    }
}

}  // namespace

TWire TWire::tcp(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        throw std::runtime_error("connect: " + std::string(std::strerror(errno)));
    }
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return TWire(fd);
}

TWire TWire::pty(const std::string& path, int rate) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("open " + path + ": " + std::strerror(errno));
    TWire wire(fd);
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    wire.setRate(rate);
    ::tcflush(fd, TCIOFLUSH);
    return wire;
}

TWire::~TWire() {
    if (fd >= 0) ::close(static_cast<int>(fd));
}

long long TWire::writeSome(const char* bytes, size_t size) {
    for (;;) {
        const ssize_t n = ::write(static_cast<int>(fd), bytes, size);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

long long TWire::readSome(char* buffer, size_t size, int timeoutMs) {
    pollfd p{static_cast<int>(fd), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return 0;
    const ssize_t n = ::read(static_cast<int>(fd), buffer, size);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return n > 0 ? n : -1;
}

void TWire::setRates(int sendRate, int receiveRate) {
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfsetospeed(&t, speedFor(sendRate));
    ::cfsetispeed(&t, speedFor(receiveRate));
    if (::tcsetattr(fd, TCSANOW, &t) != 0) throw std::runtime_error("tcsetattr failed");
}

