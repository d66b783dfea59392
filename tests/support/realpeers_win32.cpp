// The loopback peers on Winsock. A socket handle is passed around as an int: Windows hands out
// small handle values, and the tests keep them in the int their POSIX descriptors have.

#include "support/realpeers.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>

#include "platform/sio.h"

namespace {

void startWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data{};
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

SOCKET sock(int fd) { return static_cast<SOCKET>(fd); }

std::string lastSocketError(const char* what) { return std::string(what) + ": Winsock error " + std::to_string(WSAGetLastError()); }

// WSAPoll on one socket: its revents, 0 when the time passed, -1 on an error.
int pollOne(int fd, short events, int ms) {
    WSAPOLLFD p{sock(fd), events, 0};
    const int ready = WSAPoll(&p, 1, ms);
    if (ready <= 0) return ready;
    return p.revents;
}

}  // namespace

void writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - done, 1 << 20));
        const int n = ::send(sock(fd), bytes.data() + done, chunk, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
            pollOne(fd, POLLWRNORM, 100);
        } else {
            throw std::runtime_error(lastSocketError("send failed"));
        }
    }
}

std::string readFor(int fd, size_t count, int timeoutMs) {
    std::string got;
    const long long deadline = steadyMs() + timeoutMs;
    while (got.size() < count) {
        const long long left = deadline - steadyMs();
        if (left <= 0) break;
        if (pollOne(fd, POLLRDNORM, static_cast<int>(left)) <= 0) break;
        char buf[4096];
        const int n = ::recv(sock(fd), buf, static_cast<int>(std::min(sizeof buf, count - got.size())), 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

int waitReadable(int fd, int ms) {
    const int found = pollOne(fd, POLLRDNORM, ms);
    if (found <= 0) return found;
    // A closed connection reads as its end (POLLHUP with or without data): recv tells.
    return (found & (POLLRDNORM | POLLHUP)) ? 1 : -1;
}

long long readSome(int fd, char* buffer, size_t size) {
    return ::recv(sock(fd), buffer, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
}

void closeDescriptor(int fd) { ::closesocket(sock(fd)); }

TPty::TPty() { throw std::runtime_error("no pseudo-terminals on Windows"); }
TPty::~TPty() = default;
void TPty::write(const std::string&) {}
std::string TPty::read(size_t, int) { return {}; }
std::string TPty::readUntilQuiet(int) { return {}; }
int TPty::duplicateMaster() const { return -1; }
void TPty::closeMaster() {}

TSerialPortsSetting::TSerialPortsSetting(const std::string& value) : TEnvSetting(serialPortsVariable, value) {}

TLoopbackServer::TLoopbackServer(const char* address, int backlog) {
    startWinsock();
    const bool v6 = std::string(address).find(':') != std::string::npos;
    const SOCKET s = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) throw std::runtime_error(lastSocketError("cannot open a socket"));
    listenFd = static_cast<int>(s);
    // Not inherited by the programs the tests start.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    sockaddr_storage ss{};
    int len;
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
    // No SO_REUSEADDR: on Windows it lets a second listener take the same port.
    if (::bind(s, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(s, backlog) != 0)
        throw std::runtime_error(lastSocketError("cannot listen on the loopback"));
    ::getsockname(s, reinterpret_cast<sockaddr*>(&ss), &len);
    port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                    : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

TLoopbackServer::~TLoopbackServer() { close(); }

void TLoopbackServer::close() {
    if (listenFd >= 0) ::closesocket(sock(listenFd));
    listenFd = -1;
}

int TLoopbackServer::accept(int timeoutMs) {
    if (pollOne(listenFd, POLLRDNORM, timeoutMs) <= 0) return -1;
    const SOCKET s = ::accept(sock(listenFd), nullptr, nullptr);
    if (s == INVALID_SOCKET) return -1;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<int>(s);
}

int unusedLoopbackPort() {
    TLoopbackServer s;
    return s.port;  // closed again as `s` goes
}
