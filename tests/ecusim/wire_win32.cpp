#include "wire.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdexcept>

namespace {

SOCKET sock(long long fd) { return static_cast<SOCKET>(fd); }

}  // namespace

TWire TWire::tcp(int port) {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) throw std::runtime_error("socket: error " + std::to_string(WSAGetLastError()));
    TWire wire(static_cast<long long>(s));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("connect: error " + std::to_string(WSAGetLastError()));
    const BOOL yes = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
    return wire;
}

TWire TWire::pty(const std::string&, int) { throw std::runtime_error("no pseudo-terminals on Windows"); }

TWire::~TWire() {
    if (fd >= 0) ::closesocket(sock(fd));
}

long long TWire::writeSome(const char* bytes, size_t size) {
    const int n = ::send(sock(fd), bytes, static_cast<int>(size), 0);
    return n > 0 ? n : -1;
}

long long TWire::readSome(char* buffer, size_t size, int timeoutMs) {
    WSAPOLLFD p{sock(fd), POLLIN, 0};
    if (::WSAPoll(&p, 1, timeoutMs) <= 0) return 0;
    const int n = ::recv(sock(fd), buffer, static_cast<int>(size), 0);
    return n > 0 ? n : -1;
}

void TWire::setRates(int, int) { throw std::runtime_error("no pseudo-terminals on Windows"); }
