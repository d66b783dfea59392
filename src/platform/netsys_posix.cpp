#include "platform/netsys.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace netsys {

int resolveFailCode() { return EAI_FAIL; }

std::string resolveErrorText(int code) { return gai_strerror(code); }

TSock openStream(int family, int& err) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err = errno;
        return noSocket;
    }
    // Each command waits for a short answer: never hold a small send back.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int startConnect(TSock s, const TSocketAddress& a) {
    if (::connect(static_cast<int>(s), reinterpret_cast<const sockaddr*>(a.addr), a.len) == 0) return 0;
    return errno == EINTR ? EINPROGRESS : errno;
}

void closeSocket(TSock s) {
    if (s >= 0) ::close(static_cast<int>(s));
}

long long sendSome(TSock s, const char* bytes, size_t count, int& err) {
    for (;;) {
        const ssize_t n = ::send(static_cast<int>(s), bytes, count, MSG_NOSIGNAL);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        err = errno == EWOULDBLOCK ? EAGAIN : errno;
        return -1;
    }
}

long long receiveSome(TSock s, char* buffer, size_t size, int& err) {
    for (;;) {
        const ssize_t n = ::recv(static_cast<int>(s), buffer, size, MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        err = errno;
        return -1;
    }
}

int bytesWaiting(TSock s) {
    int waiting = 0;
    return ioctl(static_cast<int>(s), FIONREAD, &waiting) == 0 ? waiting : 0;
}

int pendingError(TSock s) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

int waitFor(TSock s, int events, int ms, int& found) {
    pollfd p{};
    p.fd = static_cast<int>(s);
    p.events = static_cast<short>(((events & waitIn) ? POLLIN : 0) | ((events & waitOut) ? POLLOUT : 0));
    const int r = poll(s >= 0 ? &p : nullptr, s >= 0 ? 1 : 0, ms);
    found = 0;
    if (r > 0) {
        if (p.revents & POLLIN) found |= waitIn;
        if (p.revents & POLLOUT) found |= waitOut;
        if (p.revents & (POLLERR | POLLNVAL)) found |= foundErr;
        if (p.revents & POLLHUP) found |= foundHup;
    }
    return r;
}

int lastError() { return errno; }

}  // namespace netsys

int systemResolver(const std::string& host, int port, std::vector<TSocketAddress>& found) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (rc != 0) return rc;
    for (addrinfo* a = list; a; a = a->ai_next) {
        TSocketAddress addr;
        if (a->ai_addrlen > sizeof addr.addr) continue;
        std::memcpy(&addr.addr, a->ai_addr, a->ai_addrlen);
        addr.len = static_cast<unsigned>(a->ai_addrlen);
        addr.family = a->ai_family;
        found.push_back(addr);
    }
    freeaddrinfo(list);
    return 0;
}

std::string socketErrorText(int code) { return std::strerror(code); }
