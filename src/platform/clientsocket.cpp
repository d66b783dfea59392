#include "platform/clientsocket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using Lock = std::lock_guard<std::recursive_mutex>;

TClientSocket::~TClientSocket() {
    Lock lock(mutex);
    if (state == State::Connected) flushPending();
    closeDescriptor();
}

std::string TClientSocket::getHost() const {
    Lock lock(mutex);
    return host;
}

void TClientSocket::setHost(const std::string& h) {
    Lock lock(mutex);
    if (state == State::Connected && h != host)
        throw ESocketError("Cannot change the host to " + h + " while connected to " + host);
    host = h;
}

int TClientSocket::getPort() const {
    Lock lock(mutex);
    return port;
}

void TClientSocket::setPort(int p) {
    Lock lock(mutex);
    if (state == State::Connected && p != port)
        throw ESocketError("Cannot change the port to " + std::to_string(p) +
                           " while connected to port " + std::to_string(port));
    port = p;
}

TClientType TClientSocket::getClientType() const {
    Lock lock(mutex);
    return clientType;
}

void TClientSocket::setClientType(TClientType type) {
    Lock lock(mutex);
    clientType = type;
}

bool TClientSocket::getActive() const {
    Lock lock(mutex);
    return state == State::Connected;
}

int TClientSocket::handle() const {
    Lock lock(mutex);
    return fd;
}

size_t TClientSocket::sendCalls() const {
    Lock lock(mutex);
    return sends;
}

void TClientSocket::open() {
    Lock lock(mutex);
    if (state == State::Connecting || state == State::Connected) return;
    if (host.empty()) throw ESocketError("No host to connect to");
    if (port < 1 || port > 65535)
        throw ESocketError(std::to_string(port) + " is not a TCP port number");

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) throw ESocketError("Cannot find the host " + host + ": " + gai_strerror(rc), rc);
    addresses.clear();
    for (addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        Address addr{};
        std::memcpy(&addr.addr, a->ai_addr, a->ai_addrlen);
        addr.len = a->ai_addrlen;
        addr.family = a->ai_family;
        addresses.push_back(addr);
    }
    freeaddrinfo(found);

    pending.clear();
    failCode = 0;
    startNextAddress();

    if (clientType == TClientType::Blocking) {
        while (state == State::Connecting || state == State::Failed) {
            if (state == State::Connecting) waitForEvent(-1);
            processPendingEvents();
        }
    }
}

void TClientSocket::startNextAddress() {
    while (!addresses.empty()) {
        const Address a = addresses.front();
        addresses.erase(addresses.begin());
        fd = ::socket(a.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            failCode = errno;
            continue;
        }
        // Each command waits for a short answer: never hold a small send back.
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&a.addr), a.len) == 0 ||
            errno == EINPROGRESS || errno == EINTR) {
            state = State::Connecting;  // the outcome shows as writability
            return;
        }
        failCode = errno;
        ::close(fd);
        fd = -1;
    }
    state = State::Failed;
    if (failCode == 0) failCode = EHOSTUNREACH;
}

void TClientSocket::closeDescriptor() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    state = State::Idle;
}

bool TClientSocket::flushPending() {
    while (!pending.empty()) {
        ++sends;
        const ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
        if (n > 0) {
            pending.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            failCode = n < 0 ? errno : EPIPE;
            return false;
        }
    }
    return true;
}

void TClientSocket::raise(const std::function<void()>& handler) {
    if (handler) {
        const auto h = handler;  // a handler may replace itself
        h();
    }
}

void TClientSocket::fail(int code, bool wasConnected) {
    closeDescriptor();
    addresses.clear();
    pending.clear();
    int left = code;
    if (OnError) {
        const auto h = OnError;
        h(left);
    }
    if (wasConnected) raise(OnDisconnect);
    if (left != 0) throw ESocketError("Socket error " + std::to_string(left) + ": " + std::strerror(left), left);
}

void TClientSocket::close() {
    Lock lock(mutex);
    if (state == State::Idle && fd < 0) return;
    if (state == State::Connected) flushPending();  // one last try for what is still queued
    closeDescriptor();
    addresses.clear();
    pending.clear();
    raise(OnDisconnect);
}

size_t TClientSocket::sendBuf(const void* bytes, size_t count) {
    Lock lock(mutex);
    if (state != State::Connected || count == 0) return 0;
    pending.append(static_cast<const char*>(bytes), count);
    if (!flushPending()) {
        fail(failCode, true);
        return 0;
    }
    return count;
}

int TClientSocket::receiveLength() {
    Lock lock(mutex);
    if (fd < 0) return 0;
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0) return 0;
    return waiting;
}

std::string TClientSocket::receiveText() {
    Lock lock(mutex);
    const int waiting = receiveLength();
    if (waiting <= 0) return {};
    std::string text(static_cast<size_t>(waiting), '\0');
    ssize_t n;
    do {
        n = ::recv(fd, text.data(), text.size(), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

void TClientSocket::processPendingEvents() {
    Lock lock(mutex);
    switch (state) {
    case State::Idle:
        return;
    case State::Failed:
        fail(failCode, false);
        return;
    case State::Connecting: {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 0) <= 0) return;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err == 0) {
            state = State::Connected;
            addresses.clear();
            raise(OnConnect);
            return;
        }
        // This address did not answer: try the next one (an IPv6 and an IPv4 address of the
        // same name, say) before reporting the failure.
        failCode = err;
        closeDescriptor();
        startNextAddress();
        if (state == State::Failed) fail(failCode, false);
        return;
    }
    case State::Connected: {
        pollfd p{fd, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0};
        if (poll(&p, 1, 0) <= 0) return;
        if ((p.revents & POLLOUT) && !flushPending()) {
            fail(failCode, true);
            return;
        }
        // Data first: what arrived before an end or an error is still handed over.
        if (receiveLength() > 0) {
            raise(OnRead);
            return;
        }
        if (p.revents & POLLERR) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            fail(err ? err : ECONNRESET, true);
            return;
        }
        if (p.revents & (POLLIN | POLLHUP)) {  // readable with nothing to read: the peer closed
            closeDescriptor();
            pending.clear();
            raise(OnDisconnect);
        }
        return;
    }
    }
}

bool TClientSocket::waitForEvent(int ms) {
    pollfd p{};
    {
        Lock lock(mutex);
        if (state == State::Failed) return true;
        if (fd >= 0) {
            p.fd = fd;
            p.events = state == State::Connecting
                           ? POLLOUT
                           : static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT));
        } else {
            if (ms < 0) return false;  // nothing could ever end an endless wait
            p.fd = -1;                 // nothing to wait on: poll only sleeps
        }
    }
    const int r = poll(p.fd >= 0 ? &p : nullptr, p.fd >= 0 ? 1 : 0, ms);
    return r > 0;
}
