#include "support/realpeers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/sio.h"

void writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
        } else {
            throw std::runtime_error(std::string("write failed: ") + std::strerror(errno));
        }
    }
}

std::string readFor(int fd, size_t count, int timeoutMs) {
    std::string got;
    const long long deadline = steadyMs() + timeoutMs;
    while (got.size() < count) {
        const long long left = deadline - steadyMs();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, std::min(sizeof buf, count - got.size()));
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

int waitReadable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, ms);
    if (ready < 0 && errno == EINTR) return 0;
    if (ready <= 0) return ready;
    return (p.revents & POLLIN) ? 1 : -1;
}

long long readSome(int fd, char* buffer, size_t size) { return ::read(fd, buffer, size); }

void closeDescriptor(int fd) { ::close(fd); }

TPty::TPty() {
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("openpty failed: ") + std::strerror(errno));
    path = name;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
}

TPty::~TPty() {
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
}

void TPty::write(const std::string& bytes) { writeAll(master, bytes); }

std::string TPty::read(size_t count, int timeoutMs) { return readFor(master, count, timeoutMs); }

std::string TPty::readUntilQuiet(int quietMs) {
    std::string got;
    for (;;) {
        const std::string more = readFor(master, 65536, quietMs);
        if (more.empty()) return got;
        got += more;
    }
}

termios TPty::settings() const {
    termios t{};
    tcgetattr(slave, &t);
    return t;
}

speed_t TPty::outputSpeed() const {
    const termios t = settings();
    return cfgetospeed(&t);
}

int TPty::duplicateMaster() const { return ::dup(master); }

void TPty::closeMaster() {
    if (master >= 0) ::close(master);
    master = -1;
}

TSerialPortsSetting::TSerialPortsSetting(const std::string& value) : TEnvSetting(serialPortsVariable, value) {}

TLoopbackServer::TLoopbackServer(const char* address, int backlog) {
    const bool v6 = std::strchr(address, ':') != nullptr;
    listenFd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage ss{};
    socklen_t len;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        inet_pton(AF_INET6, address, &a->sin6_addr);
        len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        inet_pton(AF_INET, address, &a->sin_addr);
        len = sizeof *a;
    }
    if (bind(listenFd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(listenFd, backlog) != 0)
        throw std::runtime_error(std::string("cannot listen on the loopback: ") + std::strerror(errno));
    getsockname(listenFd, reinterpret_cast<sockaddr*>(&ss), &len);
    port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                    : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

TLoopbackServer::~TLoopbackServer() { close(); }

void TLoopbackServer::close() {
    if (listenFd >= 0) ::close(listenFd);
    listenFd = -1;
}

int TLoopbackServer::accept(int timeoutMs) {
    pollfd p{listenFd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return -1;
    return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

int unusedLoopbackPort() {
    TLoopbackServer s;
    return s.port;  // closed again as `s` goes
}
